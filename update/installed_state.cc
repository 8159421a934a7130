#include "update/installed_state.h"

#include <memory>

#include "platform/ini_file.h"
#include "update/settings_rules.h"
#include "util/string_helpers.h"
#include "util/version_string.h"

namespace qm::update {

void ReadLauncherVersions(LauncherState& state, const std::string& exe_path) {
  state.FileVersionText = GetFileVersionString(exe_path, "FileVersion");
  state.ProductVersionText = GetFileVersionString(exe_path, "ProductVersion");
  // "?" or a short version leaves the missing fields empty.
  const ProductVersionFields fields = SplitProductVersion(state.ProductVersionText);
  state.VersionField1 = fields.field1;
  state.VersionField2 = fields.field2;
  state.VersionField3 = fields.field3;
  state.VersionField4 = fields.field4;
}

void ReadInstalledState(LauncherState& state, bool splash_loaded) {
  state.LocalAData = std::make_unique<StringList>();
  state.LocalBData = std::make_unique<StringList>();
  platform::IniFile ini(state.AppDir + "\\QuillMar.ini");
  StringList proxy;
  ini.ReadSectionValues("Proxy", proxy);
  state.ProxyServer = Trim(ListValue(proxy, "ProxyServer"));
  state.ProxyPort = Trim(ListValue(proxy, "ProxyPort"));
  state.ProxyUserName = Trim(ListValue(proxy, "ProxyUserName"));
  state.ProxyPassWord = Trim(ListValue(proxy, "ProxyPassWord"));
  state.LocalPartVersion = ini.ReadString("V", "Part", "");
  state.LocalDataVersion = ini.ReadString("V", "Data", "");
  if (state.SplashVersion.empty() && splash_loaded) {
    state.SplashVersion = ini.ReadString("SP", state.VersionKey() + "_Sp", "");
  }
  ini.ReadSectionValues("AData", *state.LocalAData);
  ini.ReadSectionValues("BData", *state.LocalBData);
}

}  // namespace qm::update
