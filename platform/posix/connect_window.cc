// The console view of the connect window: a status line with a progress bar
// on the terminal, keys for its two links; without a terminal, the status
// texts line by line.
#include <algorithm>
#include <cstdio>

#include "platform/message_loop.h"
#include "platform/posix/console.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace qm::platform {
namespace {

using posix::Console;

constexpr uint32_t kShownMessage = kUserMessage + 1;
constexpr int kBarWidth = 30;
// The exit status after an error that nobody was there to acknowledge.
constexpr int kUnansweredErrorExitCode = 1;

// Without a terminal no key can close the window after an error, so the
// error ends the program instead of leaving it waiting for ever.
void ShowErrorAndQuit(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  QuitMessageLoop(kUnansweredErrorExitCode);
}

class ConsoleConnectWindowView : public ConnectWindowView {
 public:
  ~ConsoleConnectWindowView() override { Destroy(); }

  void Create(const std::string& title,
              const Picture& picture,
              ConnectWindowEvents events) override {
    title_ = Cp949ToUtf8(title);
    events_ = std::move(events);
    window_ = std::make_unique<MessageWindow>([this](const Message& m) {
      if (m.id == kShownMessage && events_.on_show) {
        events_.on_show();
      }
    });
  }

  void Show() override {
    if (!window_ || shown_) {
      return;
    }
    shown_ = true;
    Console& console = Console::Get();
    console.PrintLine(title_);
    if (console.is_terminal()) {
      console.PrintLine("Keys: c = Cancel, p = Proxy");
      console.SetKeyHandler([this](char key) { OnKey(key); });
    } else {
      SetErrorDisplay(ShowErrorAndQuit);
      quits_on_error_ = true;
    }
    Redraw();
    window_->Post(kShownMessage);  // after showing, as a window's FormShow
  }

  void SetPicture(const Picture& picture) override {}

  void SetStatusText(const std::string& text) override {
    const std::string utf8 = Cp949ToUtf8(text);
    if (utf8 == status_) {
      return;
    }
    status_ = utf8;
    if (!shown_) {
      return;
    }
    if (Console::Get().is_terminal()) {
      Redraw();
    } else {
      Console::Get().PrintLine(status_);
    }
  }

  void PaintProgress(int position, int maximum) override {
    position_ = position;
    maximum_ = maximum;
    if (shown_ && Console::Get().is_terminal()) {
      Redraw();
    }
  }

  void Destroy() override {
    if (!window_) {
      return;
    }
    Console& console = Console::Get();
    if (shown_ && console.is_terminal()) {
      console.SetKeyHandler(nullptr);
      console.ClearStatusLine();
    }
    if (quits_on_error_) {
      SetErrorDisplay(nullptr);
      quits_on_error_ = false;
    }
    window_.reset();
    shown_ = false;
  }

 private:
  void OnKey(char key) {
    if ((key == 'c' || key == 'C') && events_.on_cancel_click) {
      events_.on_cancel_click();
    } else if ((key == 'p' || key == 'P') && events_.on_proxy_click) {
      events_.on_proxy_click();
    }
  }

  void Redraw() {
    if (!Console::Get().is_terminal()) {
      return;
    }
    int percent = 0;
    if (maximum_ > 0) {
      percent = static_cast<int>(static_cast<int64_t>(position_) * 100 / maximum_);
    }
    percent = std::max(0, std::min(100, percent));
    const int filled = percent * kBarWidth / 100;
    std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] " +
                      std::to_string(percent) + "% ";
    Console::Get().SetStatusLine(bar + status_);
  }

  std::string title_;
  ConnectWindowEvents events_;
  std::unique_ptr<MessageWindow> window_;
  bool shown_ = false;
  bool quits_on_error_ = false;
  std::string status_;
  int position_ = 0;
  int maximum_ = 0;
};

}  // namespace

std::unique_ptr<ConnectWindowView> CreateConnectWindowView() {
  return std::make_unique<ConsoleConnectWindowView>();
}

}  // namespace qm::platform
