// The server's settings file as the update reads it: read once, here, by
// the update run and by the publisher's check alike, so that the two cannot
// disagree on which mirror lines count or how the bases are derived.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "update/settings_rules.h"
#include "util/string_helpers.h"

namespace qm::update {

struct ServerSettings {
  // The download bases that the mirror rule can choose, as read (the
  // default base stands in for a missing or empty line), with the names of
  // their lines ("Path0", ... or "default" without section P).
  std::vector<std::string> mirror_names;
  std::vector<std::string> mirror_bases;
  int mirror_lines = 0;   // of section P
  LauncherLine launcher;  // the line of this launcher's version key
  std::string engine_version;
  std::string data_version;
  std::string splash_version;
  StringList components;  // "k\<value>", k from 1, as the component list holds them
  std::string bk;
  std::string bkp;
  StringList adata;  // "AData<k>=<version>" lines
  StringList bdata;
  StringList hash_lines;  // the lines of section H
  std::string serial;     // its Serial, as read
};

// default_base_url: the update server, without a trailing "/".
ServerSettings ReadServerSettings(const platform::IniFile& ini,
                                  const std::string& version_key,
                                  const std::string& default_base_url);

}  // namespace qm::update
