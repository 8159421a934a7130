#include "http/request.h"

#include <cmath>
#include <cstddef>
#include <cstdio>

#include "http/base64.h"

namespace qm::http {
namespace {

// Civil date from a count of days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

std::string FormatHttpDate(double days) {
  static constexpr char kDays[] = "MonTueWedThuFriSatSun";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  int64_t total_seconds = std::llround(days * 86400.0);
  int64_t day_number = total_seconds >= 0 ? total_seconds / 86400 : (total_seconds - 86399) / 86400;
  int64_t seconds = total_seconds - day_number * 86400;
  // Day 0 is 1899-12-30, 25569 days before 1970-01-01 (a Thursday).
  int64_t unix_day = day_number - 25569;
  int weekday = static_cast<int>(((unix_day % 7) + 7 + 3) % 7);  // 0 = Monday
  int year, month, day;
  CivilFromDays(unix_day, year, month, day);
  char text[64];
  std::snprintf(text, sizeof text, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d",
                kDays + static_cast<std::ptrdiff_t>(weekday) * 3, day,
                kMonths + static_cast<std::ptrdiff_t>(month - 1) * 3, year,
                static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60));
  return text;
}

std::vector<std::string> ComposeRequestLines(const RequestFields& f) {
  std::vector<std::string> lines;
  bool post = f.method == "POST";
  lines.push_back(f.method + " " + f.target + " HTTP/" + f.version);
  if (!f.sender.empty()) {
    lines.push_back("From: " + f.sender);
  }
  if (!f.accept.empty()) {
    lines.push_back("Accept: " + f.accept);
  }
  if (!f.reference.empty()) {
    lines.push_back("Referer: " + f.reference);
  }
  if (!f.accept_language.empty()) {
    lines.push_back("Accept-Language: " + f.accept_language);
  }
  if (post && !f.content_type_post.empty()) {
    lines.push_back("Content-Type: " + f.content_type_post);
  }
  if (!f.agent.empty()) {
    lines.push_back("User-Agent: " + f.agent);
  }
  lines.push_back("Host: " + f.host);
  if (f.no_cache) {
    lines.push_back("Pragma: no-cache");
  }
  if (post) {
    lines.push_back("Content-Length: " + std::to_string(f.post_size < 0 ? 0 : f.post_size));
  }
  if (f.modified_since != 0) {
    lines.push_back("If-Modified-Since: " + FormatHttpDate(f.modified_since) + " GMT");
  }
  if (!f.username.empty()) {
    lines.push_back("Authorization: Basic " + Base64Encode(f.username + ":" + f.password));
  }
  if (!f.proxy.empty() && !f.proxy_username.empty()) {
    lines.push_back("Proxy-Authorization: Basic " +
                    Base64Encode(f.proxy_username + ":" + f.proxy_password));
  }
  if (!f.cookie.empty()) {
    lines.push_back("Cookie: " + f.cookie);
  }
  if (!f.range_begin.empty() || !f.range_end.empty()) {
    lines.push_back("Range: bytes=" + f.range_begin + "-" + f.range_end);
  }
  return lines;
}

}  // namespace qm::http
