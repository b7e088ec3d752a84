#include "ufs/ufs_time.h"

#include <cstdio>
#include <ctime>

namespace trevik {

UfsTimeText FormatUfsTime(int32_t seconds) {
    if (seconds <= 0) {
        return {"Error", "Error"};
    }
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t t = seconds;
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) {
        return {"Error", "Error"};
    }
    const char* month = tm.tm_mon >= 0 && tm.tm_mon < 12 ? kMonths[tm.tm_mon] : "Err";
    char date[32];
    char time[32];
    std::snprintf(date, sizeof date, "%02d-%s-%04d", tm.tm_mday, month, tm.tm_year + 1900);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return {date, time};
}

} // namespace trevik
