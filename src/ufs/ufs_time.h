#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace trevik {

struct UfsTimeText {
    std::string date; // DD-Mon-YYYY, or "Error"
    std::string time; // HH:MM:SS, or "Error"
};

// A UFS time (seconds since 1970, signed 32-bit) as local date and time texts; "Error"
// for both when the time is 0 or less.
UfsTimeText FormatUfsTime(int32_t seconds);

// The same texts for many times in a row, as listings need them: one time zone conversion
// per quarter hour met (none for a time in the quarter hour before), digits written by
// hand. The views stay valid until the next call.
class UfsTimeFormatter {
public:
    struct Text {
        std::string_view date;
        std::string_view time;
    };
    Text Format(int32_t seconds);

private:
    // The quarter hour of the last conversion, its local time at the start, and whether
    // the offset from UTC is the same all through it.
    int64_t quarter_ = -1;
    std::tm start_{};
    bool steady_ = false;
    bool valid_ = false;
    char date_[12]{};
    char time_[9]{};
};

} // namespace trevik
