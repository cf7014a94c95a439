#pragma once

#include <QApplication>

namespace orfeo {

// The application object: its title (for every message box) is the executable's file name without its
// extension. Run() shows the main window and returns when it closed, which ends the program.
class CScanApp : public QApplication {
    Q_OBJECT

public:
    CScanApp(int& argc, char** argv);
    int Run();
};

}  // namespace orfeo
