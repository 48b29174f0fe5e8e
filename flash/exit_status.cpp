#include "exit_status.h"

namespace flash {

const char* outcomeName(int status)
{
    switch (status) {
    case kProgrammed: return "programmed";
    case kCheckFailed: return "check-failed";
    case kUsage: return "usage";
    case kBadFile: return "bad-file";
    case kNoBus: return "no-bus";
    case kNoEcu: return "no-ecu";
    case kIdentifyFailed: return "identify-failed";
    case kNoFit: return "no-fit";
    case kSecurityRefused: return "security-refused";
    case kEraseFailed: return "erase-failed";
    case kTransferFailed: return "transfer-failed";
    case kChecksumRejected: return "checksum-rejected";
    case kMoreThanOneEcu: return "more-than-one-ecu";
    case kInterrupted: return "interrupted";
    default: return "unknown";
    }
}

}  // namespace flash
