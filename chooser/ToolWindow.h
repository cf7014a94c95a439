#pragma once

#include <QString>

class QDialog;
class QWidget;

namespace orfeo {

// The application's main window: the owner of the tool's message boxes and of the New folder dialog.
// Set by the application when its main window exists; nullptr before.
void SetMainWindow(QWidget* window);
QWidget* MainWindow();

// The application's title: the executable's file name without its extension.
QString ApplicationTitle();

// The tool's standard message box: owned by `owner` (the main window unless told otherwise), which it
// blocks, and nothing else; the warning icon, one OK button (Enter and Escape answer it) and the
// application's title as caption. Returns when the user dismissed it.
void ShowToolMessage(const QString& text, QWidget* owner = MainWindow());

// What the user answered to the box of a run's problem.
enum class ProblemAnswer { Ok, ShowRestAtEnd, Stop };

// The box of a problem that a run met: the tool's message box, with "Show the rest at the end" and "Stop"
// after its OK, which stays the default (Enter and Escape answer it). Its text can be selected and copied,
// and every such box is at least one width, so that OK stays in one place from one box to the next.
ProblemAnswer ShowProblemMessage(const QString& text, QWidget* owner = MainWindow());

// Asks, over `owner`, whether the running job is to stop: "A job is running. Stop it after the pages in
// hand?" with "Stop" and "Go on" (the default; Enter and Escape answer it). True for Stop.
bool AskToStopJob(QWidget* owner);

// The same box for a window that belongs to no one (the folder chooser): it blocks the main window, not
// `front`, and shows in front of `front`.
void ShowToolMessageOver(const QString& text, QWidget* front);

// Runs `dialog` as a dialog of the main window that shows in front of `front`, a window that belongs to
// no one (the folder chooser): the main window takes no input until the dialog ends, `front` stays usable,
// and the window manager keeps the dialog over `front` instead of raising the main window over both. A
// click on the main window meanwhile brings `front` and the dialog back to the front. Returns the
// dialog's result code. Without a main window, the dialog only blocks nothing else.
int ExecOverWindow(QDialog& dialog, QWidget* front);

}  // namespace orfeo
