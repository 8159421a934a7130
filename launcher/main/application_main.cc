// The real program entry over the platform's own window, dialogs and
// process services.
#include "launcher/application.h"
#include "platform/app_entry.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace qm {

LauncherEnvironment LauncherEnvironment::FromPlatform() {
  LauncherEnvironment environment;
  environment.activate_running_client = platform::ActivateRunningClient;
  environment.create_view = platform::CreateConnectWindowView;
  environment.create_dialogs = platform::CreateDialogs;
  environment.executable_path = platform::ExecutablePath();
  environment.arguments = platform::CommandLineArguments();
  environment.default_base_url = DefaultBaseUrl();
  environment.public_key = ParsePinnedKey(PinnedPublicKey());
  return environment;
}

int ApplicationMain() {
  LauncherEnvironment environment = LauncherEnvironment::FromPlatform();
  return RunLauncher(environment);
}

}  // namespace qm
