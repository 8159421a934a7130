#include "launcher/application.h"

#include "launcher/connect_window.h"
#include "platform/message_loop.h"
#include "util/hex.h"

namespace qm {

std::optional<platform::EcdsaP256PublicKey> ParsePinnedKey(const std::string& text) {
  if (text.empty()) {
    return std::nullopt;
  }
  return ParseHexArray<64>(text).value_or(platform::EcdsaP256PublicKey{});
}

int RunLauncher(LauncherEnvironment& environment) {
  if (environment.activate_running_client && environment.activate_running_client()) {
    return 0;
  }
  std::unique_ptr<platform::ConnectWindowView> view = environment.create_view();
  std::unique_ptr<platform::Dialogs> dialogs = environment.create_dialogs();
  TFM_Connect form(*view, *dialogs, environment.executable_path, environment.arguments,
                   environment.default_base_url);
  form.public_key = environment.public_key;
  form.Create();
  if (environment.on_created) {
    environment.on_created(form);
  }
  form.Show();
  // Also when Cancel closed the window while it was being shown: the loop
  // then ends at once on the quit that the close left behind.
  return platform::RunMessageLoop();
}

}  // namespace qm
