// Pelora 1D Firmware Update: the product. It takes no command line; its
// configuration is built in.
#include "RunWizard.h"
#include "link/SystemPortFinder.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    pelora::SystemPortFinder portFinder;
    return pelora::RunWizard(application, portFinder);
}
