#include "ufs/ufs_time.h"

namespace trevik {

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::string_view kError = "Error";
constexpr int64_t kQuarter = 15 * 60;

char* TwoDigits(char* o, int v) {
    *o++ = static_cast<char>('0' + v / 10 % 10);
    *o++ = static_cast<char>('0' + v % 10);
    return o;
}

// "DD-Mon-YYYY" (the year in four digits, as a 32-bit time's years all are).
void WriteDate(char* o, const std::tm& tm) {
    o = TwoDigits(o, tm.tm_mday);
    *o++ = '-';
    const char* month = tm.tm_mon >= 0 && tm.tm_mon < 12 ? kMonths[tm.tm_mon] : "Err";
    for (int k = 0; k < 3; ++k)
        *o++ = month[k];
    *o++ = '-';
    const int year = tm.tm_year + 1900;
    o = TwoDigits(o, year / 100);
    TwoDigits(o, year % 100);
}

void WriteTime(char* o, int secondOfDay) {
    o = TwoDigits(o, secondOfDay / 3600);
    *o++ = ':';
    o = TwoDigits(o, secondOfDay / 60 % 60);
    *o++ = ':';
    TwoDigits(o, secondOfDay % 60);
}

} // namespace

UfsTimeText FormatUfsTime(int32_t seconds) {
    UfsTimeFormatter f;
    const UfsTimeFormatter::Text t = f.Format(seconds);
    return {std::string(t.date), std::string(t.time)};
}

UfsTimeFormatter::Text UfsTimeFormatter::Format(int32_t seconds) {
    if (seconds <= 0)
        return {kError, kError};
    const int64_t quarter = seconds / kQuarter;
    if (quarter != quarter_) {
        quarter_ = quarter;
        const std::time_t first = static_cast<std::time_t>(quarter * kQuarter);
        const std::time_t last = first + kQuarter - 1;
        std::tm end{};
        valid_ = localtime_r(&first, &start_) != nullptr;
        // Steady when its last second reads as its first plus the seconds between: no
        // change of offset, no leap second, no midnight inside.
        auto secondOfDay = [](const std::tm& tm) {
            return tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
        };
        steady_ = valid_ && localtime_r(&last, &end) != nullptr &&
                  end.tm_gmtoff == start_.tm_gmtoff &&
                  secondOfDay(end) == secondOfDay(start_) + kQuarter - 1;
    }
    const int into = static_cast<int>(seconds - quarter * kQuarter);
    const int secondOfDay = start_.tm_hour * 3600 + start_.tm_min * 60 + start_.tm_sec + into;
    if (steady_) {
        WriteDate(date_, start_);
        WriteTime(time_, secondOfDay);
    } else {
        // The offset or the day changes in this quarter hour: each time converted alone.
        const std::time_t t = seconds;
        std::tm tm{};
        if (localtime_r(&t, &tm) == nullptr)
            return {kError, kError};
        WriteDate(date_, tm);
        WriteTime(time_, tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
    }
    return {{date_, 11}, {time_, 8}};
}

} // namespace trevik
