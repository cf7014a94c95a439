#include "app/CScanApp.h"

#include <QIcon>

#include "app/CScanDlg.h"
#include "chooser/ToolWindow.h"
#include "process/PageMemory.h"

namespace orfeo {

CScanApp::CScanApp(int& argc, char** argv) : QApplication(argc, argv) {
    KeepPageMemory();
    setApplicationName(ApplicationTitle());
    setDesktopFileName(QStringLiteral("io.github.orfeo.orfeo"));
}

int CScanApp::Run() {
    CScanDlg dialog;
    setWindowIcon(dialog.m_hIcon);
    SetMainWindow(&dialog);
    // Shown, not run with exec(): exec() would make the window application-modal and so block the folder
    // chooser, which belongs to no window. Closing the window ends the program, also from inside the
    // chooser's loop.
    connect(&dialog, &QDialog::finished, this, &QCoreApplication::quit, Qt::QueuedConnection);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    exec();
    SetMainWindow(nullptr);
    return 0;
}

}  // namespace orfeo
