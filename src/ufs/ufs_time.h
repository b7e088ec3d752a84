#pragma once

#include <cstdint>
#include <string>

namespace trevik {

struct UfsTimeText {
    std::string date; // DD-Mon-YYYY, or "Error"
    std::string time; // HH:MM:SS, or "Error"
};

// A UFS time (seconds since 1970, signed 32-bit) as local date and time texts; "Error"
// for both when the time is 0 or less.
UfsTimeText FormatUfsTime(int32_t seconds);

} // namespace trevik
