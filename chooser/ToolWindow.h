#pragma once

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

class QDialog;
class QPalette;

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

// Keeps all input from the main window `main` while `dialog` stands for it over `front`, as a window-modal
// dialog would: clicks, keys and drops are swallowed, and activating the main window brings `front` and the
// dialog back to the front. Unlike Qt's modality it can let the window system's close requests through
// (CloseRequests::Pass), so that the main window's own closeEvent answers its close box: Qt drops a close
// request for a window that a modal one blocks, without a word.
class MainWindowBlock : public QObject {
public:
    enum class CloseRequests { Swallow, Pass };
    MainWindowBlock(QWidget* main, QWidget* dialog, QWidget* front,
                    CloseRequests close = CloseRequests::Swallow);
    ~MainWindowBlock() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BringForward();

    QPointer<QWidget> m_main;
    QPointer<QWidget> m_dialog;
    QPointer<QWidget> m_front;
    CloseRequests m_close;
};

// Sizes `window` to `wanted`, or smaller where the available area of its screen (the screen of `over`,
// else the primary one) is smaller, never below what its layout needs, and places it centred over `over`
// (else on the screen) and wholly inside that area, its window-manager frame included; or, with
// `placeIt` false, leaves the place to the window manager, which keeps a window that fits on the screen.
// Call it before the window shows: a window larger than the screen would otherwise open with part of it out
// of reach.
void FitToScreen(QWidget* window, QSize wanted, const QWidget* over, bool placeIt = true);

// The colour of text that says something is wrong (a page that is not written): a red as light or as dark as
// the palette's own text, so that it reads on a light theme and a dark one alike.
QColor ProblemTextColour(const QPalette& palette);

}  // namespace orfeo
