// A scripted connect window and dialogs for tests: they record what the
// launcher shows and answer boxes from a script; tests click the links.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "platform/ui.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace qm::testing {

class ScriptedView : public platform::ConnectWindowView {
 public:
  void Create(const std::string& title,
              const platform::Picture& picture,
              platform::ConnectWindowEvents events) override;
  void Show() override;
  void SetPicture(const platform::Picture& picture) override;
  void SetStatusText(const std::string& text) override;
  void PaintProgress(int position, int maximum) override;
  void Destroy() override;

  void ClickCancel();
  void ClickProxy();

  std::string title;
  platform::Picture picture;
  std::vector<std::string> statuses;
  std::vector<std::pair<int, int>> paints;
  int creates = 0;
  int shows = 0;
  int destroys = 0;

 private:
  platform::ConnectWindowEvents events_;
};

class ScriptedDialogs : public platform::Dialogs {
 public:
  struct Box {
    std::string caption;
    std::string text;
    bool operator==(const Box&) const = default;
  };

  void ShowMessage(const std::string& caption, const std::string& text) override;
  bool AskOkCancel(const std::string& caption, const std::string& text) override;
  bool ShowProxyDialog(platform::ProxyFields& fields,
                       const platform::ProxyDialogTexts& texts) override;

  // Script: answers in order; an empty script answers Cancel.
  std::deque<bool> ok_cancel_answers;
  std::deque<std::optional<platform::ProxyFields>> proxy_answers;  // nullopt: Cancel
  // Runs inside the modal proxy dialog, as its own loop would.
  std::function<void()> while_proxy_dialog_open;

  std::vector<Box> messages;
  std::vector<Box> questions;
  std::vector<platform::ProxyDialogTexts> proxy_dialog_texts;
  std::vector<platform::ProxyFields> proxy_dialogs;  // the fields each opening showed
};

// Ends the innermost message loop and fails the test if a test hangs.
class Watchdog {
 public:
  explicit Watchdog(int seconds = 20);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  platform::MessageWindow window_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

using TempFolder = test_support::TempDir;
using test_support::ReadFileBytes;
using test_support::WriteFileBytes;

void CreateFolder(const std::string& path);
// Copies a file (binary).
void CopyFile(const std::string& from, const std::string& to);

}  // namespace qm::testing
