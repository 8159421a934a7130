// The process-wide values of the connect window, read and written by the
// update run and the proxy dialog. Created zeroed: strings empty, flags 0,
// lists absent until FormShow creates them. What the run reads from the
// server stays with the run (update/server_settings.h), but for the two
// texts that the game client's command line carries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "util/string_helpers.h"

namespace qm {

// Values of TransferStatus.
inline constexpr int32_t kTransferRunning = 1;  // running or succeeded
inline constexpr int32_t kTransferCancelled = 2;
inline constexpr int32_t kTransferFailed = 9;

struct LauncherState {
  uint8_t CancelRequested = 0;  // set by Cancel, never reset
  int32_t TransferStatus = 0;
  std::string AppDir;  // no trailing "\"
  std::string FileVersionText;
  std::string ProductVersionText;
  std::string VersionField1;
  std::string VersionField2;
  std::string VersionField3;
  std::string VersionField4;
  std::string ProxyServer;  // empty: no proxy
  std::string ProxyPassWord;
  std::string ProxyPort;
  std::string ProxyUserName;
  std::string SplashVersion;  // "-1" without Sp.Gif
  std::string LocalPartVersion;
  std::string LocalDataVersion;
  std::string ServerBK;  // from the server, for the client's command line
  std::string ServerBKP;
  std::string UpdateMarker;
  std::unique_ptr<StringList> LocalAData;  // "AData<k>=<version>" lines
  std::unique_ptr<StringList> LocalBData;

  // VersionField1 followed by VersionField3, e.g. 82001500.
  std::string VersionKey() const { return VersionField1 + VersionField3; }
};

}  // namespace qm
