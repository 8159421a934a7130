#include "tests/launcher/scripted_ui.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace qm::testing {

void ScriptedView::Create(const std::string& new_title,
                          const platform::Picture& new_picture,
                          platform::ConnectWindowEvents events) {
  ++creates;
  title = new_title;
  picture = new_picture;
  events_ = std::move(events);
}

void ScriptedView::Show() {
  ++shows;
  if (events_.on_show) {
    events_.on_show();
  }
}

void ScriptedView::SetPicture(const platform::Picture& new_picture) {
  picture = new_picture;
}

void ScriptedView::SetStatusText(const std::string& text) {
  statuses.push_back(text);
}

void ScriptedView::PaintProgress(int position, int maximum) {
  paints.emplace_back(position, maximum);
}

void ScriptedView::Destroy() {
  ++destroys;
}

void ScriptedView::ClickCancel() {
  ASSERT_TRUE(events_.on_cancel_click);
  events_.on_cancel_click();
}

void ScriptedView::ClickProxy() {
  ASSERT_TRUE(events_.on_proxy_click);
  events_.on_proxy_click();
}

void ScriptedDialogs::ShowMessage(const std::string& caption, const std::string& text) {
  messages.push_back({caption, text});
}

bool ScriptedDialogs::AskOkCancel(const std::string& caption, const std::string& text) {
  questions.push_back({caption, text});
  if (ok_cancel_answers.empty()) {
    return false;
  }
  bool answer = ok_cancel_answers.front();
  ok_cancel_answers.pop_front();
  return answer;
}

bool ScriptedDialogs::ShowProxyDialog(platform::ProxyFields& fields,
                                      const platform::ProxyDialogTexts& texts) {
  proxy_dialogs.push_back(fields);
  proxy_dialog_texts.push_back(texts);
  if (while_proxy_dialog_open) {
    while_proxy_dialog_open();
  }
  if (proxy_answers.empty()) {
    return false;
  }
  std::optional<platform::ProxyFields> answer = proxy_answers.front();
  proxy_answers.pop_front();
  if (!answer) {
    return false;
  }
  fields = *answer;
  return true;
}

namespace {
constexpr uint32_t kWatchdogMessage = platform::kUserMessage + 77;
}

Watchdog::Watchdog(int seconds)
    : window_([](const platform::Message&) {
        ADD_FAILURE() << "the message loop did not end in time";
        platform::QuitMessageLoop(1);
      }),
      thread_([this, seconds, handle = window_.native_handle()] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!done_.wait_for(lock, std::chrono::seconds(seconds), [this] { return finished_; })) {
          platform::PostToWindow(handle, kWatchdogMessage, 0, 0);
        }
      }) {}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  done_.notify_all();
  thread_.join();
}

void CreateFolder(const std::string& path) {
  std::filesystem::create_directories(path);
}

void CopyFile(const std::string& from, const std::string& to) {
  std::string data = ReadFileBytes(from);
  ASSERT_FALSE(data.empty()) << "missing fixture " << from;
  ASSERT_TRUE(WriteFileBytes(to, data)) << to;
}

}  // namespace qm::testing
