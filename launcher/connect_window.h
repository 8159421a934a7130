// The connect window (FM_Connect): start-up reads, the posted start of the
// update run, turning its result into boxes, starting the game client, and
// the Cancel and Proxy links. Drawing is the view's; this class holds the
// logic and the launcher state.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "http/http_cli.h"
#include "launcher/progress_bar.h"
#include "platform/ecdsa.h"
#include "platform/message_loop.h"
#include "platform/ui.h"
#include "update/launcher_state.h"
#include "update/update_host.h"
#include "zip/unzip.h"

namespace qm {

// Private message that starts the update run once the window is shown.
inline constexpr uint32_t WM_STARTCONNECT = platform::kUserMessage + 10;

class TFM_Connect : private update::UpdateHost {
 public:
  // executable_path: the running launcher's full path; arguments: its
  // command-line arguments (the first goes to the game client);
  // default_base_url: the update server, without a trailing "/".
  TFM_Connect(platform::ConnectWindowView& view,
              platform::Dialogs& dialogs,
              std::string executable_path,
              std::vector<std::string> arguments,
              std::string default_base_url);
  ~TFM_Connect();
  TFM_Connect(const TFM_Connect&) = delete;
  TFM_Connect& operator=(const TFM_Connect&) = delete;

  // Runs FormCreate and creates the (hidden) view with the picture.
  void Create();
  // Shows the view; FormShow runs once it is visible.
  void Show();

  void FormCreate();
  void FormShow();
  void WMStartConnect();
  bool ConnectToHost();
  int32_t DownLoadFile();
  void C_CancelClick();
  void C_ProxyClick();
  void FormClose();
  void Http1DocBegin(int64_t content_length);
  void Http1DocData(int32_t len);
  void Http1DocEnd();
  // The window's documented helper; it forwards to qm::R_Trim.
  static std::string R_Trim(const std::string& s);

  // The update run: 0 up to date, -1 the server's settings file was not
  // fetched, -3 a download failed (with the text left in C_Msg). The real
  // run (RunUpdate) unless a test replaces it.
  std::function<int32_t(TFM_Connect&)> download_file;
  int32_t RunUpdate();
  // The key that the update server's files must be signed with; absent:
  // a launcher built without one.
  std::optional<platform::EcdsaP256PublicKey> public_key;
  // Starts the game client (file, parameters); platform::StartProgram.
  std::function<bool(const std::string&, const std::string&)> start_program;
  // Ends the transfer or the unpacking in progress, if any (Http1's Abort).
  std::function<void()> abort_transfer;

  // The components through which the update works, owned for the window's
  // lifetime.
  http::THttpCli Http1;
  zip::TUnZip UnZip1;
  const std::string& default_base_url() const { return default_base_url_; }

  LauncherState& state() { return state_; }
  const LauncherState& state() const { return state_; }
  TProgressBar& C_ProgBar() { return progress_; }
  // The status line.
  const std::string& C_Msg() const { return message_; }
  void SetMsg(const std::string& text);

  const std::string& title() const { return title_; }
  const platform::Picture& picture() const { return picture_; }
  const std::vector<std::string>& arguments() const { return arguments_; }
  bool closed() const { return closed_; }
  // The game client's command line as WMStartConnect builds it.
  std::string ClientCommandLine() const;

 private:
  // Counts handlers of ours still on the stack (the run, a box, the proxy
  // dialog); a close request that arrives meanwhile waits for them.
  class BusyScope {
   public:
    explicit BusyScope(TFM_Connect& form);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

   private:
    TFM_Connect& form_;
  };

  // update::UpdateHost
  void SetStatus(const std::string& text) override { SetMsg(text); }
  void ResetProgress() override { progress_.SetPosition(0); }

  void ConfigureComponents();
  void HandleMessage(const platform::Message& message);
  void HandleClose();
  bool LoadSplashFile(const std::string& path);

  platform::ConnectWindowView& view_;
  platform::Dialogs& dialogs_;
  const std::string executable_path_;
  const std::vector<std::string> arguments_;
  const std::string default_base_url_;
  std::string title_;
  platform::Picture picture_;
  LauncherState state_;
  TProgressBar progress_;
  std::string message_;
  int busy_depth_ = 0;
  bool close_deferred_ = false;
  bool closed_ = false;
  bool splash_loaded_ = false;
  platform::MessageWindow window_;
};

}  // namespace qm
