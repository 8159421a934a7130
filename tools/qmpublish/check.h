// check: reads a server as the updater would and proves that every archive
// that a player could be sent is there and unpacks.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/ecdsa.h"

namespace qm::publish {

struct CheckOptions {
  std::string base_url;  // the updater's default base URL, without "/QuillMar/"
  std::string proxy;     // as qmfetch takes them
  std::string proxy_port = "80";
  std::string proxy_user;
  std::string proxy_password;
  std::string version_key;  // empty: the one launcher line of section V
  // The key the launchers pin; none: a signature is reported, not verified.
  std::optional<platform::EcdsaP256PublicKey> public_key;
};

struct CheckRow {
  std::string mirror;  // "Path0", ... or "default"
  std::string item;
  std::string url;
  std::string status;  // HTTP status, or what failed before one came
  std::string result;  // what is wrong; empty when nothing
  bool ok = false;
};

struct CheckReport {
  std::vector<CheckRow> rows;
  std::vector<std::string> problems;  // also those outside the table
  std::vector<std::string> warnings;
};

// The table goes to out as it is filled, progress to log.
CheckReport Check(const CheckOptions& options, std::FILE* out, std::FILE* log);

}  // namespace qm::publish
