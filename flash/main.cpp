// tavelin-flash: programs an ECU from the command line, on the window's own
// capture, readout, file check and programming run.
#include <QCoreApplication>
#include <QDir>
#include <QJsonObject>
#include <QMap>
#include <cstdio>
#include <cstdlib>

#include "brivex.h"
#include "console.h"
#include "ecu_session.h"
#include "exit_status.h"
#include "flash_history.h"
#include "interrupt.h"
#include "options.h"
#include "pc_check.h"
#include "process_setup.h"
#include "settings_files.h"
#include "trace_output.h"
#include "update_image.h"

using namespace flash;

namespace {

// One ECU from capture to result; its exit status. captured: an ECU answered.
int flashOne(const Options& options, const BusSettings& bus, Console& console, FlashHistory& history,
             bool* captured = nullptr)
{
    EcuSession ecu(options, bus, console, history);
    int status = ecu.capture();
    if (captured)
        *captured = status == 0;
    if (status == 0)
        status = ecu.identify();
    if (status == 0 && !options.identify)
        status = ecu.checkFile();
    if (status == 0 && !options.identify)
        status = ecu.program();
    ecu.finish(status);
    return status;
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Options options;
    const int parsed = parseOptions(app.arguments(), options);
    if (parsed >= 0)
        return parsed;

    const ProcessSetup setup;
    std::FILE* own = separateTrace(options.trace.isEmpty() ? QStringLiteral("trace.log") : options.trace);
    if (!own)
        return kUsage;
    Console console(options.json, own);
    catchInterrupts();

    // The bus as the window finds it: conf.dat in the working folder, unless
    // the options say otherwise.
    const Settings conf = readConfFile();
    BusSettings bus;
    bus.bitrate = options.bitrate > 0 ? options.bitrate : checkedBaudrate(conf.baudrate);
    if (checkedBaudrate(bus.bitrate) != bus.bitrate) {
        std::fprintf(stderr, "tavelin-flash: %d kbit/s is not a bit rate the tool uses\n", bus.bitrate);
        return kUsage;
    }
    bus.address = static_cast<uint8_t>(options.address >= 0 ? options.address : conf.ecuAddress);
    bus.blockIntervalMs = conf.blockIntervalMs;
    if (options.channel > 0) {
        // brivex opens PCAN_USBBUS<N> for it (its default stays PCAN_USBBUS1).
        qputenv("TAVELIN_PCAN_CHANNEL", QByteArray::number(options.channel));
#ifndef _WIN32
        console.say(QStringLiteral("--channel chooses the adapter on Windows; here TAVELIN_BUS names the bus"));
#endif
    }

    if (options.check)
        return checkPc(bus, console);

    if (!options.identify) {
        // A file that cannot be programmed into any ECU is refused before
        // the bus is touched; it is cut again for the ECU's block length.
        UpdateImage image;
        const UpdateImage::Load loaded = image.load(options.file, EcuIdentity::kDefaultBlockLength);
        if (loaded != UpdateImage::Load::Loaded) {
            console.say(QStringLiteral("%1: %2").arg(options.file, UpdateImage::loadText(loaded)));
            console.json("result", {{"outcome", QString::fromLatin1(outcomeName(kBadFile))},
                                    {"status", kBadFile},
                                    {"message", UpdateImage::loadText(loaded)},
                                    {"file", options.file}});
            return kBadFile;
        }
    }

    if (InitHWInterface(bus.bitrate, bus.address) != 0) {
        console.say(QStringLiteral("Cannot connect to the CAN adapter at %1 kbit/s").arg(bus.bitrate));
        console.json("result", {{"outcome", QString::fromLatin1(outcomeName(kNoBus))}, {"status", kNoBus}});
        return kNoBus;
    }
    FlashHistory history(QDir::current().absoluteFilePath(QStringLiteral("history.csv")));

    int status = kProgrammed;
    if (!options.repeat) {
        status = flashOne(options, bus, console, history);
    } else {
        // One ECU after another; an interruption between ECUs (or while
        // waiting for the next one) ends the series, not an ECU's attempt.
        QMap<QString, int> counts;
        int ecus = 0, lastFailure = kProgrammed;
        while (!interrupted() && (options.count == 0 || ecus < options.count)) {
            console.say(QStringLiteral("-- ECU %1").arg(ecus + 1));
            bool captured = false;
            const int s = flashOne(options, bus, console, history, &captured);
            if (s == kInterrupted && !captured)
                break;  // between ECUs: the series ends cleanly

            ++ecus;
            ++counts[QString::fromLatin1(outcomeName(s))];
            if (s != kProgrammed)
                lastFailure = s;
            if (s == kInterrupted)
                break;  // an ECU's run was stopped: it counts, and the series ends
        }
        QJsonObject c;
        QStringList line;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
            c.insert(it.key(), it.value());
            line << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
        }
        console.say(QStringLiteral("%1 ECUs: %2").arg(ecus).arg(line.isEmpty() ? QStringLiteral("none") : line.join(", ")));
        console.json("summary", {{"ecus", ecus}, {"counts", c}});
        status = lastFailure;
    }
    ReleaseHWInterface();
    return status;
}
