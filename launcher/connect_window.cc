#include "launcher/connect_window.h"

#include <utility>

#include "launcher/gif/gif_decoder.h"
#include "launcher/program_identity.h"
#include "launcher/splash_gif.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/process.h"
#include "update/component_setup.h"
#include "update/installed_state.h"
#include "update/update_run.h"
#include "util/string_helpers.h"
#include "util/texts.h"

namespace qm {

namespace {

// Larger files are not read into memory; no splash picture comes near this.
constexpr int64_t kMaxSplashFileSize = int64_t{32} * 1024 * 1024;

}  // namespace

TFM_Connect::BusyScope::BusyScope(TFM_Connect& form) : form_(form) {
  ++form_.busy_depth_;
}

TFM_Connect::BusyScope::~BusyScope() {
  if (--form_.busy_depth_ == 0 && form_.close_deferred_) {
    form_.close_deferred_ = false;
    form_.window_.Post(platform::kCloseMessage);
  }
}

TFM_Connect::TFM_Connect(platform::ConnectWindowView& view,
                         platform::Dialogs& dialogs,
                         std::string executable_path,
                         std::vector<std::string> arguments,
                         std::string default_base_url)
    : download_file([](TFM_Connect& form) { return form.RunUpdate(); }),
      start_program(platform::StartProgram),
      abort_transfer([this] {
        Http1.Abort();
        UnZip1.CancelOperation();
      }),
      view_(view),
      dialogs_(dialogs),
      executable_path_(std::move(executable_path)),
      arguments_(std::move(arguments)),
      default_base_url_(std::move(default_base_url)),
      title_(ProgramTitle(executable_path_)),
      progress_([this](int position, int maximum) { view_.PaintProgress(position, maximum); }),
      message_(texts::kDesignCaption),
      window_([this](const platform::Message& message) { HandleMessage(message); }) {
  ConfigureComponents();
}

TFM_Connect::~TFM_Connect() = default;

void TFM_Connect::ConfigureComponents() {
  update::ConfigureUpdateComponents(Http1, UnZip1);
  Http1.OnDocBegin = [this](http::THttpCli* sender) {
    // A continuation shows the bytes kept before it: the bar goes on from
    // where the broken transfer left it.
    if (sender->StatusCode() == 206 && sender->ContentRangeFirst() >= 0 &&
        sender->ContentRangeTotal() > 0) {
      progress_.SetMax(sender->ContentRangeTotal());
      progress_.SetPosition(sender->ContentRangeFirst());
      return;
    }
    Http1DocBegin(sender->ContentLength());
  };
  Http1.OnDocData = [this](http::THttpCli*, const char*, int32_t len) { Http1DocData(len); };
  Http1.OnDocEnd = [this](http::THttpCli* sender) {
    // A transfer that broke leaves the bar where it stopped.
    if (sender->DocumentComplete()) {
      Http1DocEnd();
    }
  };
}

int32_t TFM_Connect::RunUpdate() {
  update::UpdateRun run(state_, *this, Http1, UnZip1, default_base_url_);
  run.public_key = public_key;
  return run.DownLoadFile();
}

void TFM_Connect::Create() {
  std::string error;
  std::string_view built_in(reinterpret_cast<const char*>(kSplashGif), kSplashGifSize);
  gif::DecodeGif(built_in, &picture_, &error);
  FormCreate();
  platform::ConnectWindowEvents events;
  events.on_show = [this] { FormShow(); };
  events.on_cancel_click = [this] { C_CancelClick(); };
  events.on_proxy_click = [this] { C_ProxyClick(); };
  view_.Create(title_, picture_, std::move(events));
  view_.SetStatusText(message_);
}

void TFM_Connect::Show() {
  view_.Show();
}

void TFM_Connect::FormCreate() {
  state_.AppDir = AppDirFromExePath(executable_path_);
  update::ReadLauncherVersions(state_, state_.AppDir + "\\QuillMar.exe");

  const std::string splash = state_.AppDir + "\\Sp" + ".Gif";
  if (platform::FileExists(splash)) {
    splash_loaded_ = LoadSplashFile(splash);
    state_.SplashVersion = "";
  } else {
    state_.SplashVersion = "-1";
  }
}

bool TFM_Connect::LoadSplashFile(const std::string& path) {
  platform::File file;
  std::string data;
  std::string error;
  if (!file.Open(path, platform::File::Mode::kRead)) {
    error = "Sp.Gif: " + platform::FileErrorText(file.error());
  } else if (file.Size() > kMaxSplashFileSize) {
    error = "Sp.Gif: picture file too large";
  } else {
    data.resize(static_cast<size_t>(std::max<int64_t>(file.Size(), 0)));
    int64_t got = data.empty() ? 0 : file.Read(data.data(), data.size());
    if (got < 0) {
      error = "Sp.Gif: " + platform::FileErrorText(file.error());
    } else {
      data.resize(static_cast<size_t>(got));
    }
  }
  platform::Picture loaded;
  if (error.empty() && gif::DecodeGif(data, &loaded, &error)) {
    picture_ = std::move(loaded);
    return true;
  }
  // The built-in picture stays.
  BusyScope busy(*this);
  dialogs_.ShowMessage(title_, error);
  return false;
}

void TFM_Connect::FormShow() {
  update::ReadInstalledState(state_, splash_loaded_);
  state_.UpdateMarker = "?";
  platform::ProcessMessages();
  window_.Post(WM_STARTCONNECT);
}

void TFM_Connect::HandleMessage(const platform::Message& message) {
  if (message.id == WM_STARTCONNECT) {
    if (!closed_) {
      WMStartConnect();
    }
  } else if (message.id == platform::kCloseMessage) {
    HandleClose();
  }
}

void TFM_Connect::WMStartConnect() {
  {
    BusyScope busy(*this);
    // A Cancel during the run or while "Connected" shows means no game.
    if (ConnectToHost() && !state_.CancelRequested) {
      SetMsg(texts::kConnected);
      platform::ProcessMessages();
      if (!state_.CancelRequested) {
        platform::SleepMs(200);
        progress_.SetPosition(progress_.Max());
        start_program(state_.AppDir + "\\_QuillMar_.exe", ClientCommandLine());
      }
    }
  }
  window_.Post(platform::kCloseMessage);
}

bool TFM_Connect::ConnectToHost() {
  SetMsg(texts::kConnecting);
  platform::ProcessMessages();
  if (state_.CancelRequested) {
    return false;
  }
  int32_t rc = DownLoadFile();
  if (state_.CancelRequested) {
    return false;
  }
  if (rc >= 0) {
    return true;
  }
  BusyScope busy(*this);
  dialogs_.ShowMessage(title_, message_);
  if (rc == -1 && dialogs_.AskOkCancel(texts::kNoticeCaption, texts::kProxyPrompt)) {
    C_ProxyClick();
  }
  return false;
}

int32_t TFM_Connect::DownLoadFile() {
  return download_file ? download_file(*this) : 0;
}

void TFM_Connect::C_CancelClick() {
  state_.CancelRequested = 1;
  state_.TransferStatus = kTransferCancelled;
  if (abort_transfer) {
    abort_transfer();
  }
  window_.Post(platform::kCloseMessage);
}

void TFM_Connect::C_ProxyClick() {
  if (closed_) {
    return;
  }
  BusyScope busy(*this);
  platform::ProxyFields fields{state_.ProxyServer, state_.ProxyPort, state_.ProxyUserName,
                               state_.ProxyPassWord};
  if (!dialogs_.ShowProxyDialog(fields, texts::ProxyDialog())) {
    return;
  }
  state_.ProxyServer = Trim(fields.server);
  state_.ProxyPort = Trim(fields.port);
  state_.ProxyUserName = Trim(fields.user_name);
  state_.ProxyPassWord = Trim(fields.password);
  {
    // A refused write raises "Unable to write to ..." to the error display;
    // the notice and the cancel are then skipped.
    platform::IniFile ini(state_.AppDir + "\\QuillMar.ini");
    ini.WriteString("Proxy", "ProxyServer", state_.ProxyServer);
    ini.WriteString("Proxy", "ProxyPort", state_.ProxyPort);
    ini.WriteString("Proxy", "ProxyUserName", state_.ProxyUserName);
    ini.WriteString("Proxy", "ProxyPassWord", state_.ProxyPassWord);
  }
  dialogs_.ShowMessage(title_, texts::kConnectAgain);
  C_CancelClick();
}

void TFM_Connect::HandleClose() {
  if (closed_) {
    return;
  }
  if (busy_depth_ > 0) {
    close_deferred_ = true;
    return;
  }
  closed_ = true;
  FormClose();
  view_.Destroy();
  platform::QuitMessageLoop(0);
}

void TFM_Connect::FormClose() {
  state_.LocalAData.reset();
  state_.LocalBData.reset();
}

void TFM_Connect::Http1DocBegin(int64_t content_length) {
  progress_.SetPosition(0);
  progress_.SetMax(content_length);
}

void TFM_Connect::Http1DocData(int32_t len) {
  progress_.SetPosition(progress_.Position() + len);
}

void TFM_Connect::Http1DocEnd() {
  progress_.SetPosition(progress_.Max());
}

std::string TFM_Connect::R_Trim(const std::string& s) {
  return qm::R_Trim(s);
}

void TFM_Connect::SetMsg(const std::string& text) {
  message_ = text;
  view_.SetStatusText(text);
}

std::string TFM_Connect::ClientCommandLine() const {
  return BuildClientCommandLine(state_.UpdateMarker, state_.ServerBK, state_.ServerBKP,
                                state_.ProductVersionText, arguments_);
}

}  // namespace qm
