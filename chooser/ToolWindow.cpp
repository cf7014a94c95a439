#include "chooser/ToolWindow.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>

namespace orfeo {

namespace {
QPointer<QWidget> g_mainWindow;
}

void SetMainWindow(QWidget* window) { g_mainWindow = window; }

QWidget* MainWindow() { return g_mainWindow; }

QString ApplicationTitle() { return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName(); }

void ShowToolMessage(const QString& text, QWidget* owner) {
    QMessageBox box(QMessageBox::Warning, ApplicationTitle(), text, QMessageBox::Ok, owner);
    // Window-modal: the owner waits, an open folder chooser stays usable.
    if (owner) box.setWindowModality(Qt::WindowModal);
    box.exec();
}

}  // namespace orfeo
