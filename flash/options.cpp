#include "options.h"

#include <cstdio>

#include "exit_status.h"

namespace flash {

const char* helpText()
{
    return "Usage: tavelin-flash [OPTION]... FILE.hx1\n"
           "       tavelin-flash --identify [OPTION]...\n"
           "       tavelin-flash --check [OPTION]...\n"
           "Captures an ECU into its bootloader while it powers up, reads its identification,\n"
           "checks that FILE fits its hardware and programs it, as the tavelin window does.\n"
           "\n"
           "Capture (the ECU must power up while the capture requests go out):\n"
           "      --wait                  wait for an ECU that is powering up (default)\n"
           "      --prompt                ask at the terminal to switch the ECU off, then on\n"
           "      --power-off CMD         run CMD to switch the ECU off before the capture\n"
           "      --power-on CMD          run CMD to switch it on once capture requests go out\n"
           "      --capture-timeout SEC   give up when no ECU answers within SEC seconds (60)\n"
           "What to do:\n"
           "      --identify              capture, print the identification, change nothing\n"
           "      --check                 check this PC: adapter library, channel, timer, folder\n"
           "      --repeat                program one ECU after another until Ctrl-C\n"
           "      --count N               with --repeat: stop after N ECUs\n"
           "Bus:\n"
           "      --bitrate KBIT          bit rate (default: conf.dat in the working folder)\n"
           "      --address HEX           ECU address (default: conf.dat in the working folder)\n"
           "      --channel N             adapter channel PCAN_USBBUS<N>, 1 to 16 (Windows)\n"
           "Output:\n"
           "      --json                  one JSON object per line on standard output\n"
           "      --trace FILE            the frame trace (default trace.log; - for standard error)\n"
           "      --help                  show this help and exit\n"
           "      --version               show the version and exit\n"
           "\n"
           "Progress goes to standard error; every programming attempt appends its line to\n"
           "history.csv in the working folder (one working folder per process).\n"
           "Environment: TAVELIN_BUS selects the CAN bus on Linux (socketcan://can0,\n"
           "socketcand://HOST[:PORT]/BUS).\n"
           "\n"
           "Exit status:\n"
           "   0  programmed, and the ECU confirmed the checksum (--identify, --check: all well)\n"
           "   1  --check found something that needs attention\n"
           "   2  bad usage or options\n"
           "   3  update file unreadable or invalid\n"
           "   4  adapter or bus unavailable\n"
           "   5  no ECU captured in time\n"
           "   6  identification failed\n"
           "   7  the file does not fit the ECU\n"
           "   8  security access or programming session refused\n"
           "   9  erase failed\n"
           "  10  transfer failed\n"
           "  11  checksum rejected\n"
           "  12  more than one ECU answers\n"
           " 130  interrupted by a signal (a run in progress: the ECU is reset)\n"
           "With --repeat: 0 when every ECU was programmed, else the status of the last failure.\n";
}

namespace {

int usage(const QString& message)
{
    std::fprintf(stderr, "tavelin-flash: %s\nTry 'tavelin-flash --help' for more information.\n",
                 qPrintable(message));
    return kUsage;
}

bool number(const QString& text, int base, int low, int high, int& out)
{
    bool ok = false;
    QString t = text.trimmed();
    if (base == 16 && t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        t = t.mid(2);
    const int v = t.toInt(&ok, base);
    if (!ok || v < low || v > high)
        return false;
    out = v;
    return true;
}

}  // namespace

int parseOptions(const QStringList& args, Options& o)
{
    bool powerCommand = false, prompt = false, wait = false;
    for (int i = 1; i < args.size(); ++i) {
        QString a = args[i];
        QString inlineValue;
        bool hasInline = false;
        if (a.startsWith(QLatin1String("--")) && a.contains('=')) {
            inlineValue = a.mid(a.indexOf('=') + 1);
            a = a.left(a.indexOf('='));
            hasInline = true;
        }
        auto value = [&](QString& out) {
            if (hasInline) {
                out = inlineValue;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        QString v;
        if (a == QLatin1String("--help")) {
            std::fputs(helpText(), stdout);
            return 0;
        } else if (a == QLatin1String("--version")) {
            std::printf("tavelin-flash %s\n", TAVELIN_VERSION);
            return 0;
        } else if (a == QLatin1String("--identify")) {
            o.identify = true;
        } else if (a == QLatin1String("--check")) {
            o.check = true;
        } else if (a == QLatin1String("--json")) {
            o.json = true;
        } else if (a == QLatin1String("--repeat")) {
            o.repeat = true;
        } else if (a == QLatin1String("--wait")) {
            wait = true;
        } else if (a == QLatin1String("--prompt")) {
            prompt = true;
        } else if (a == QLatin1String("--count")) {
            if (!value(v) || !number(v, 10, 1, 1000000, o.count))
                return usage(QStringLiteral("--count takes a whole number from 1"));
        } else if (a == QLatin1String("--bitrate")) {
            if (!value(v) || !number(v, 10, 1, 1000, o.bitrate))
                return usage(QStringLiteral("--bitrate takes kbit/s, e.g. 250"));
        } else if (a == QLatin1String("--address")) {
            if (!value(v) || !number(v, 16, 0, 0xFF, o.address) || o.address == 0xFF || o.address == 0xF9)
                return usage(QStringLiteral("--address takes a hexadecimal address 00 to FE, not F9"));
        } else if (a == QLatin1String("--channel")) {
            if (!value(v) || !number(v, 10, 1, 16, o.channel))
                return usage(QStringLiteral("--channel takes 1 to 16"));
        } else if (a == QLatin1String("--capture-timeout")) {
            if (!value(v) || !number(v, 10, 1, 86400, o.captureTimeoutS))
                return usage(QStringLiteral("--capture-timeout takes seconds, 1 to 86400"));
        } else if (a == QLatin1String("--power-off")) {
            if (!value(o.powerOff) || o.powerOff.isEmpty())
                return usage(QStringLiteral("--power-off takes a command"));
            powerCommand = true;
        } else if (a == QLatin1String("--power-on")) {
            if (!value(o.powerOn) || o.powerOn.isEmpty())
                return usage(QStringLiteral("--power-on takes a command"));
            powerCommand = true;
        } else if (a == QLatin1String("--trace")) {
            if (!value(o.trace) || o.trace.isEmpty())
                return usage(QStringLiteral("--trace takes a file, or - for standard error"));
        } else if (a == QLatin1String("--")) {
            for (++i; i < args.size(); ++i) {
                if (!o.file.isEmpty())
                    return usage(QStringLiteral("one update file only"));
                o.file = args[i];
            }
        } else if (a.startsWith('-') && a.size() > 1) {
            return usage(QStringLiteral("unknown option %1").arg(args[i]));
        } else {
            if (!o.file.isEmpty())
                return usage(QStringLiteral("one update file only"));
            o.file = a;
        }
    }
    if (int(wait) + int(prompt) + int(powerCommand) > 1)
        return usage(QStringLiteral("choose one of --wait, --prompt and the power commands"));
    o.power = prompt ? Options::Power::Prompt : powerCommand ? Options::Power::Commands : Options::Power::Wait;
    if (o.identify && o.check)
        return usage(QStringLiteral("--identify and --check exclude each other"));
    if (o.count > 0 && !o.repeat)
        return usage(QStringLiteral("--count goes with --repeat"));
    if (!o.identify && !o.check && o.file.isEmpty())
        return usage(QStringLiteral("no update file given"));
    if ((o.identify || o.check) && !o.file.isEmpty())
        return usage(QStringLiteral("--identify and --check take no update file"));
    return -1;
}

}  // namespace flash
