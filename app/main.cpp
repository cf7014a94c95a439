#include "app/CScanApp.h"
#include "imaging/StandardDescriptors.h"

int main(int argc, char** argv) {
    orfeo::OpenStandardDescriptors();
    orfeo::CScanApp app(argc, argv);
    return app.Run();
}
