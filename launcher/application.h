// Program entry: refuse to run beside a game client, else open the connect
// window and run the message loop until it closes.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ecdsa.h"
#include "platform/ui.h"

namespace qm {

class TFM_Connect;

// What the program entry takes from the platform; tests replace parts.
struct LauncherEnvironment {
  std::function<bool()> activate_running_client;
  std::function<std::unique_ptr<platform::ConnectWindowView>()> create_view;
  std::function<std::unique_ptr<platform::Dialogs>()> create_dialogs;
  std::string executable_path;
  std::vector<std::string> arguments;
  // The update server's base URL, without a trailing "/".
  std::string default_base_url;
  // The public key the update server's files are checked against; absent:
  // built without one.
  std::optional<platform::EcdsaP256PublicKey> public_key;
  // Runs once the window exists, before the loop (tests attach seams here).
  std::function<void(TFM_Connect&)> on_created;

  // The real platform parts.
  static LauncherEnvironment FromPlatform();
};

// The base URL built into this executable (generated per executable).
const char* DefaultBaseUrl();
// The public key built into this executable as 128 hex digits (X || Y);
// empty for a launcher built without one.
const char* PinnedPublicKey();
// The pinned key; absent when text is empty. A key that does not parse
// becomes one that verifies nothing, so that a broken build refuses every
// manifest instead of taking unsigned ones.
std::optional<platform::EcdsaP256PublicKey> ParsePinnedKey(const std::string& text);

// The program's exit code.
int RunLauncher(LauncherEnvironment& environment);

}  // namespace qm
