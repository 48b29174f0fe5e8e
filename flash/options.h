// tavelin-flash's command line.
#ifndef TAVELIN_FLASH_OPTIONS_H
#define TAVELIN_FLASH_OPTIONS_H

#include <QString>
#include <QStringList>

namespace flash {

struct Options {
    enum class Power { Wait, Prompt, Commands };
    QString file;           // the *.hx1 update file
    bool identify = false;  // capture and read the identification only
    bool check = false;     // check this PC
    bool json = false;      // one JSON object per line on standard output
    bool repeat = false;    // one ECU after another until interrupted (or count reached)
    int count = 0;          // with --repeat: stop after this many ECUs (0: no limit)
    int bitrate = -1;       // kbit/s; -1: conf.dat's
    int address = -1;       // ECU address; -1: conf.dat's
    int channel = 0;        // adapter channel 1..16; 0: the library's default
    int captureTimeoutS = 60;
    Power power = Power::Wait;
    QString powerOff, powerOn;  // shell commands
    QString trace;              // the frame trace: a file, "-" for standard error
};

// Parses argv. Returns -1 to go on, or the status to exit with at once
// (--help and --version: 0, after printing; a usage error: kUsage, with a
// line on standard error).
int parseOptions(const QStringList& args, Options& options);

// The --help text, exit status table included.
const char* helpText();

}  // namespace flash

#endif
