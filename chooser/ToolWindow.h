#pragma once

#include <QString>

class QWidget;

namespace orfeo {

// The application's main window: the owner of the tool's message boxes and of the New folder dialog.
// Set by the application when its main window exists; nullptr before.
void SetMainWindow(QWidget* window);
QWidget* MainWindow();

// The application's title: the executable's file name without its extension.
QString ApplicationTitle();

// The tool's standard message box: owned by `owner` (the main window unless told otherwise), which it
// blocks, and nothing else; the warning icon, one OK button and the application's title as caption.
// Returns when the user dismissed it.
void ShowToolMessage(const QString& text, QWidget* owner = MainWindow());

}  // namespace orfeo
