#include "platform/posix/local_time.h"

namespace qm::platform::posix {

time_t LocalToEpoch(const LocalDateTime& time) {
  struct tm tm = {};
  tm.tm_year = time.year - 1900;
  tm.tm_mon = time.month - 1;
  tm.tm_mday = time.day;
  tm.tm_hour = time.hour;
  tm.tm_min = time.minute;
  tm.tm_sec = time.second;
  tm.tm_isdst = -1;  // let the zone rules decide, as Windows does for local time
  return mktime(&tm);
}

LocalDateTime EpochToLocal(time_t seconds) {
  struct tm tm = {};
  localtime_r(&seconds, &tm);
  LocalDateTime result;
  result.year = tm.tm_year + 1900;
  result.month = tm.tm_mon + 1;
  result.day = tm.tm_mday;
  result.hour = tm.tm_hour;
  result.minute = tm.tm_min;
  result.second = tm.tm_sec;
  return result;
}

}  // namespace qm::platform::posix
