#include <QApplication>

#include "mainwindow.h"
#include "process_setup.h"

int main(int argc, char* argv[])
{
    const ProcessSetup setup;
    QApplication a(argc, argv);
    MainWindow w;
    w.show();
    return a.exec();
}
