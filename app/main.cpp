#include "app/CScanApp.h"

int main(int argc, char** argv) {
    orfeo::CScanApp app(argc, argv);
    return app.Run();
}
