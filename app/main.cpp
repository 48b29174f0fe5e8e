#include <QApplication>
#include <cstdio>
#include <cstring>

#include "mainwindow.h"
#include "process_setup.h"

namespace {

// --version and --help answer on standard output and exit, as GNU programs
// do, before anything needs a display. Any other argument is left to Qt.
int answerInformationOption(int argc, char* argv[])
{
    if (argc != 2)
        return -1;
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("tavelin %s\n", TAVELIN_VERSION);
        return 0;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        std::printf("Usage: tavelin\n"
                    "Opens the service window that captures an ECU into its bootloader, reads its\n"
                    "identification and programs it from an *.hx1 update file.\n"
                    "Files in the working folder: conf.dat (bit rate, ECU address, block interval),\n"
                    "hyst.dat (the update file chosen last), history.csv (one line per run).\n"
                    "Environment: TAVELIN_BUS selects the CAN bus (socketcan://can0,\n"
                    "socketcand://HOST[:PORT]/BUS).\n"
                    "  --help     show this help and exit\n"
                    "  --version  show the version and exit\n");
        return 0;
    }
    return -1;
}

}  // namespace

int main(int argc, char* argv[])
{
    const int answered = answerInformationOption(argc, argv);
    if (answered >= 0)
        return answered;
    const ProcessSetup setup;
    QApplication a(argc, argv);
    MainWindow w;
    w.show();
    return a.exec();
}
