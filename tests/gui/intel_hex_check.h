// Compares an Intel HEX dump with what srec_cat reads from an update file.
#ifndef TAVELIN_INTEL_HEX_CHECK_H
#define TAVELIN_INTEL_HEX_CHECK_H

#include <cstdlib>
#include <fstream>
#include <string>

#include "intel_hex.h"

namespace intelhexcheck {

inline bool sameAsSrecCat(const std::string& dump, const std::string& hx1)
{
    const std::string recs = hx1 + ".records.hex", out = hx1 + ".srec.hex";
    const std::string cmd = "grep '^:' '" + hx1 + "' > '" + recs + "' && srec_cat '" + recs + "' -intel -o '" +
                            out + "' -intel";
    if (std::system(cmd.c_str()) != 0)
        return false;
    hexfile::Image a, b;
    std::string err;
    std::ifstream da(dump), db(out);
    if (!hexfile::readIntelHex(da, a, err) || !hexfile::readIntelHex(db, b, err))
        return false;
    return !a.empty() && a == b;
}

}  // namespace intelhexcheck

#endif
