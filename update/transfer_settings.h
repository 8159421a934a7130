// The limits of a transfer and its retries, from section [Transfer] of the
// installed QuillMar.ini; every key is optional.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/ini_file.h"

namespace qm::update {

inline constexpr char kTransferSection[] = "Transfer";

struct TransferSettings {
  // Seconds without a byte before a transfer counts as stalled; absent: the
  // HTTP client's own limit stays.
  std::optional<uint32_t> idle_timeout_s;
  // Bytes per second over SlowLinkTime seconds below which a transfer
  // counts as stalled; 0 turns the floor off.
  std::optional<uint32_t> slow_link_rate;
  std::optional<uint32_t> slow_link_time_s;
  // Seconds before the 2nd attempt on a source; doubled for each further.
  uint32_t retry_delay_s = 1;
};

// A missing or malformed value leaves its default.
TransferSettings ReadTransferSettings(const platform::IniFile& ini);

}  // namespace qm::update
