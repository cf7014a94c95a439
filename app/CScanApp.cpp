#include "app/CScanApp.h"

#include <QIcon>

#include "app/CScanDlg.h"
#include "chooser/ToolWindow.h"

namespace orfeo {

CScanApp::CScanApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(ApplicationTitle());
    setWindowIcon(QIcon(QStringLiteral(":/orfeo.png")));
    setDesktopFileName(QStringLiteral("orfeo"));
}

int CScanApp::Run() {
    CScanDlg dialog;
    SetMainWindow(&dialog);
    dialog.exec();
    SetMainWindow(nullptr);
    return 0;
}

}  // namespace orfeo
