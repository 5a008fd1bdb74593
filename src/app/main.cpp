// Pelora 1D Firmware Update: the product. It takes no command line; its
// configuration is built in.
#include "EarlyStart.h"
#include "RunWizard.h"
#include "link/SystemPortFinder.h"

#include <QApplication>

int main(int argc, char** argv)
{
    pelora::EarlyStart early;  // first: it runs while Qt starts
    QApplication application(argc, argv);
    pelora::SystemPortFinder portFinder;
    return pelora::RunWizard(application, portFinder, early);
}
