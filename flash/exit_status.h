// tavelin-flash's exit status: one per stage at which a run can end.
#ifndef TAVELIN_FLASH_EXIT_STATUS_H
#define TAVELIN_FLASH_EXIT_STATUS_H

namespace flash {

enum ExitStatus : int {
    kProgrammed = 0,        // programmed, and the ECU confirmed the checksum
    kCheckFailed = 1,       // --check: something on this PC needs attention
    kUsage = 2,             // bad usage or options
    kBadFile = 3,           // update file unreadable or invalid (or without data)
    kNoBus = 4,             // adapter or bus unavailable
    kNoEcu = 5,             // no ECU captured in time
    kIdentifyFailed = 6,    // the identification could not be read
    kNoFit = 7,             // the file does not fit the ECU's hardware
    kSecurityRefused = 8,   // security access (or the programming session) refused
    kEraseFailed = 9,       // erase error or time-out
    kTransferFailed = 10,   // the download was not accepted
    kChecksumRejected = 11, // the ECU rejected the checksum
    kMoreThanOneEcu = 12,   // more than one ECU answers at the address
    kInterrupted = 130,     // interrupted by a signal (a run in progress: the ECU is reset)
};

// The outcome's name in --json results and --repeat summaries.
const char* outcomeName(int status);

}  // namespace flash

#endif
