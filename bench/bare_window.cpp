// The yardstick of startup_bench: a bare Qt Widgets window of the wizard's
// size, started and shown the same way as the wizard.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle("Bare window");
    window.resize(679, 456);
    window.show();
    return application.exec();
}
