#include "app/CScanApp.h"

#include <QIcon>

#include "app/CScanDlg.h"
#include "chooser/ToolWindow.h"
#include "imaging/PageMemory.h"

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
    dialog.exec();
    SetMainWindow(nullptr);
    return 0;
}

}  // namespace orfeo
