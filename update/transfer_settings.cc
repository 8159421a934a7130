#include "update/transfer_settings.h"

#include <string>

#include "util/string_helpers.h"

namespace qm::update {
namespace {

// A day is more than any of these limits can sensibly be.
constexpr uint32_t kMaxSeconds = 86400;
constexpr uint32_t kMaxRate = uint32_t{1} << 30;

std::optional<uint32_t> ReadNumber(const platform::IniFile& ini, const char* key, uint32_t max) {
  const std::string text = Trim(ini.ReadString(kTransferSection, key, ""));
  if (text.empty() || text.size() > 10) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > max) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

TransferSettings ReadTransferSettings(const platform::IniFile& ini) {
  TransferSettings settings;
  settings.idle_timeout_s = ReadNumber(ini, "IdleTimeout", kMaxSeconds);
  if (settings.idle_timeout_s == 0u) {
    settings.idle_timeout_s.reset();  // no limit at all would wait for ever
  }
  settings.slow_link_rate = ReadNumber(ini, "SlowLinkRate", kMaxRate);
  settings.slow_link_time_s = ReadNumber(ini, "SlowLinkTime", kMaxSeconds);
  settings.retry_delay_s = ReadNumber(ini, "RetryDelay", kMaxSeconds).value_or(1);
  return settings;
}

}  // namespace qm::update
