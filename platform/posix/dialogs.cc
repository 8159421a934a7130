// The console's boxes and proxy dialog: prompts on the terminal; without
// one, nobody answers (Cancel).
#include "platform/posix/console.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "util/ascii.h"

namespace qm::platform {
namespace {

using posix::Console;

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

std::unique_ptr<Dialogs> CreateDialogs() {
  return std::make_unique<ConsoleDialogs>();
}

}  // namespace qm::platform
