#include "update/server_settings.h"

#include "update/integrity_format.h"

namespace qm::update {

ServerSettings ReadServerSettings(const platform::IniFile& ini,
                                  const std::string& version_key,
                                  const std::string& default_base_url) {
  ServerSettings settings;
  const std::string fallback = default_base_url + "/QuillMar/";
  StringList mirrors;
  ini.ReadSectionValues("P", mirrors);
  settings.mirror_lines = static_cast<int>(mirrors.size());
  if (mirrors.empty()) {
    settings.mirror_names.emplace_back("default");
    settings.mirror_bases.push_back(fallback);
  } else {
    const int choosable = ChoosableMirrorCount(static_cast<int>(mirrors.size()));
    for (int k = 0; k < choosable; ++k) {
      const std::string name = "Path" + std::to_string(k);
      const std::string base = R_Trim(ini.ReadString("P", name, ""));
      settings.mirror_names.push_back(name);
      settings.mirror_bases.push_back(base.empty() ? fallback : base);
    }
  }
  settings.launcher = SplitLauncherLine(R_Trim(ini.ReadString("V", version_key, "")), version_key);
  settings.engine_version = R_Trim(ini.ReadString("V", "Part", ""));
  settings.data_version = R_Trim(ini.ReadString("V", "Data", ""));

  StringList components;
  ini.ReadSection("C", components);
  for (size_t k = 1; k <= components.size(); ++k) {
    const std::string number = std::to_string(k);
    settings.components.push_back(number + "\\" + R_Trim(ini.ReadString("C", number, "")));
  }
  settings.bk = R_Trim(ini.ReadString("S", "BK", ""));
  settings.bkp = R_Trim(ini.ReadString("S", "BKP", ""));
  settings.splash_version = R_Trim(ini.ReadString("SP", version_key + "_Sp", ""));
  ini.ReadSectionValues("AData", settings.adata);
  ini.ReadSectionValues("BData", settings.bdata);
  ini.ReadSectionValues(kHashSection, settings.hash_lines);
  settings.serial = Trim(ListValue(settings.hash_lines, kSerialKey));
  return settings;
}

}  // namespace qm::update
