// The console view: the connect window as a status line with a progress bar
// on the terminal, keys for its two links, prompts for the boxes.
#include "platform/ui.h"

#include <algorithm>
#include <cstdio>

#include "platform/message_loop.h"
#include "platform/posix/console.h"
#include "platform/text.h"
#include "util/ascii.h"

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

class ConsoleDialogs : public Dialogs {
 public:
  void ShowMessage(const std::string& caption, const std::string& text) override {
    Console::Get().PrintLine(Box(caption, text));
  }

  bool AskOkCancel(const std::string& caption, const std::string& text) override {
    Console& console = Console::Get();
    if (!console.is_terminal()) {
      console.PrintLine(Box(caption, text) + " -> Cancel");
      return false;  // nobody to answer
    }
    console.Print(Box(caption, text) + " (y = OK, n = Cancel) ");
    std::string answer;
    if (!console.ReadLine(&answer)) {
      return false;
    }
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "ok" || answer == "OK";
  }

  bool ShowProxyDialog(ProxyFields& fields, const ProxyDialogTexts& texts) override {
    Console& console = Console::Get();
    if (!console.is_terminal()) {
      return false;
    }
    console.PrintLine(Cp949ToUtf8(texts.title));
    for (const std::string& line : texts.help) {
      console.PrintLine(Cp949ToUtf8(line));
    }
    console.PrintLine("(Enter keeps the value in brackets, \"-\" empties it)");
    ProxyFields entered = fields;
    // The dialog shows every field in clear, the password too.
    const std::pair<const std::string*, std::string*> prompts[] = {
        {&texts.server_label, &entered.server},
        {&texts.port_label, &entered.port},
        {&texts.user_name_label, &entered.user_name},
        {&texts.password_label, &entered.password},
    };
    for (const auto& [label, value] : prompts) {
      console.Print(Cp949ToUtf8(*label) + " [" + Cp949ToUtf8(*value) + "]: ");
      std::string line;
      if (!console.ReadLine(&line, true)) {
        return false;  // end of input: as Cancel
      }
      if (line == "-") {
        value->clear();
      } else if (!line.empty()) {
        *value = Utf8ToCp949(line);
      }
    }
    // Nothing is saved without an explicit OK: Enter alone asks again.
    constexpr int kAsks = 3;
    for (int ask = 0; ask < kAsks; ++ask) {
      console.Print(Cp949ToUtf8(texts.ok) + " (o) / " + Cp949ToUtf8(texts.cancel) + " (c): ");
      std::string line;
      if (!console.ReadLine(&line, true)) {
        return false;
      }
      std::string answer;
      for (char c : line) {
        if (c != ' ' && c != '\t') {
          answer.push_back(AsciiLower(c));
        }
      }
      if (answer == "o" || answer == "ok") {
        fields = entered;
        return true;
      }
      if (answer == "c" || answer == "cancel") {
        return false;
      }
    }
    return false;
  }

 private:
  static std::string Box(const std::string& caption, const std::string& text) {
    return "[" + Cp949ToUtf8(caption) + "] " + Cp949ToUtf8(text);
  }
};

}  // namespace

std::unique_ptr<ConnectWindowView> CreateConnectWindowView() {
  return std::make_unique<ConsoleConnectWindowView>();
}

std::unique_ptr<Dialogs> CreateDialogs() {
  return std::make_unique<ConsoleDialogs>();
}

}  // namespace qm::platform
