// The console view, on a pseudo-terminal and without a terminal.
#include "platform/ui.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "platform/message_loop.h"
#include "platform/posix/console.h"
#endif

namespace qm::platform {
namespace {

#ifdef _WIN32
TEST(ConsoleUiTest, PosixOnly) {
  GTEST_SKIP() << "the Win32 windows are tested in tests/platform/win32";
}
#else

using posix::Console;

// "연결중..." in code page 949 and in UTF-8.
const char kTitle949[] = "\xBF\xAC\xB0\xE1\xC1\xDF...";
const char kTitleUtf8[] = "\xEC\x97\xB0\xEA\xB2\xB0\xEC\xA4\x91...";

// Everything written so far to the other end of fd (non-blocking).
std::string Drain(int fd) {
  std::string out;
  char buffer[4096];
  while (true) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) {
      break;
    }
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) {
      break;
    }
    out.append(buffer, n);
  }
  return out;
}

// Posts a handler that types text into the terminal; a modal prompt keeps
// the loop running, so the typing happens while it waits.
class Typist {
 public:
  explicit Typist(int master) : master_(master), window_([this](const Message&) { Type(); }) {}
  void TypeLater(std::string text) {
    text_ = std::move(text);
    window_.Post(kUserMessage);
  }

 private:
  void Type() { ASSERT_EQ(write(master_, text_.data(), text_.size()), (ssize_t)text_.size()); }
  int master_;
  std::string text_;
  MessageWindow window_;
};

class ConsoleUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    Console::Get().SetDescriptors(slave_, slave_);
  }
  void TearDown() override {
    Console::Get().SetDescriptors(-1, -1);
    close(master_);
    close(slave_);
  }
  bool Canonical() {
    termios t;
    tcgetattr(slave_, &t);
    return (t.c_lflag & ICANON) != 0;
  }
  void Pump() {
    WaitForMessages(2000);
    ProcessMessages();
  }

  int master_ = -1;
  int slave_ = -1;
};

TEST_F(ConsoleUiTest, KeysOnATerminalClickTheLinks) {
  int shown = 0, cancels = 0, proxies = 0;
  auto view = CreateConnectWindowView();
  view->Create(kTitle949, Picture{}, {[&] { ++shown; }, [&] { ++cancels; }, [&] { ++proxies; }});
  view->Show();
  EXPECT_EQ(shown, 0);  // not inside Show
  ProcessMessages();
  EXPECT_EQ(shown, 1);
  EXPECT_FALSE(Canonical());  // keys without Enter
  view->SetStatusText("On Connecting to Host.....");
  view->PaintProgress(65, 130);
  const std::string screen = Drain(master_);
  EXPECT_NE(screen.find(kTitleUtf8), std::string::npos);
  EXPECT_NE(screen.find("c = Cancel, p = Proxy"), std::string::npos);
  EXPECT_NE(screen.find("\r[###############...............] 50% On Connecting to Host....."),
            std::string::npos)
      << screen;

  ASSERT_EQ(write(master_, "x", 1), 1);  // other keys do nothing
  Pump();
  ASSERT_EQ(write(master_, "c", 1), 1);
  Pump();
  EXPECT_EQ(cancels, 1);
  ASSERT_EQ(write(master_, "P", 1), 1);
  Pump();
  EXPECT_EQ(proxies, 1);
  EXPECT_EQ(cancels, 1);

  view->Destroy();
  EXPECT_TRUE(Canonical());  // the terminal is as it was
  ASSERT_EQ(write(master_, "c", 1), 1);
  ProcessMessages();
  EXPECT_EQ(cancels, 1);
}

TEST_F(ConsoleUiTest, BoxesAskOnTheTerminal) {
  auto dialogs = CreateDialogs();
  Typist typist(master_);
  struct Case {
    const char* typed;
    bool expected;
  };
  for (const Case& c : {Case{"y\n", true}, Case{"n\n", false}, Case{"\n", false}}) {
    typist.TypeLater(c.typed);
    EXPECT_EQ(dialogs->AskOkCancel("\xBE\xCB\xB8\xB2", "Proxy?"), c.expected) << c.typed;
  }
  EXPECT_NE(Drain(master_).find("[\xEC\x95\x8C\xEB\xA6\xBC] Proxy? (y = OK, n = Cancel)"),
            std::string::npos);
  dialogs->ShowMessage("Quillmar",
                       "\xBF\xAC\xB0\xE1\xB5\xC7\xC1\xF6 \xBE\xCA\xBE\xD2\xBD\xC0\xB4\xCF\xB4\xD9");
  EXPECT_NE(Drain(master_).find("[Quillmar] \xEC\x97\xB0\xEA\xB2\xB0\xEB\x90\x98\xEC\xA7\x80 "
                                "\xEC\x95\x8A\xEC\x95\x98\xEC\x8A\xB5\xEB\x8B\x88\xEB\x8B\xA4"),
            std::string::npos);
  EXPECT_TRUE(Canonical());
}

// The launcher's table in short, with one Korean help line (code page 949).
ProxyDialogTexts SampleTexts() {
  return {"  [Setting Proxy Server ]",
          "Proxy Server",
          "Proxy Port",
          "(Proxy UserName)",
          "(Proxy Password)",
          {"\xBE\xCB\xB8\xB2 one", "help two", "help three", "help four"},
          "OK",
          "Cancel"};
}

TEST_F(ConsoleUiTest, ProxyDialogKeepsEmptiesAndReplacesFields) {
  auto dialogs = CreateDialogs();
  Typist typist(master_);
  ProxyFields fields{"old.proxy", "8080", "someone", "secret"};
  // Server replaced, port kept, user name emptied, password replaced; then OK.
  typist.TypeLater("127.0.0.1\n\n-\n pw \no\n");
  ASSERT_TRUE(dialogs->ShowProxyDialog(fields, SampleTexts()));
  EXPECT_EQ(fields.server, "127.0.0.1");
  EXPECT_EQ(fields.port, "8080");
  EXPECT_EQ(fields.user_name, "");
  EXPECT_EQ(fields.password, " pw ");  // untrimmed
  const std::string screen = Drain(master_);
  for (const char* shown :
       {"[Setting Proxy Server ]", "\xEC\x95\x8C\xEB\xA6\xBC one", "help four",
        "Proxy Port [8080]: ", "(Proxy Password) [secret]: ", "OK (o) / Cancel (c): "}) {
    EXPECT_NE(screen.find(shown), std::string::npos) << shown;
  }
}

TEST_F(ConsoleUiTest, ProxyDialogSavesOnlyOnAnExplicitOk) {
  struct Case {
    const char* typed;
    bool ok;
  } cases[] = {
      {"changed\n\n\n\n\n\n\n", false},  // Enter alone never confirms
      {"changed\n\n\n\nc\n", false},     {"changed\n\n\n\n\nCancel\n", false},
      {"changed\n\n\n\n\n OK \n", true}, {"changed\n\x04", false},  // end of input
  };
  auto dialogs = CreateDialogs();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    Typist typist(master_);
    ProxyFields fields{"a", "1", "b", "c"};
    typist.TypeLater(c.typed);
    EXPECT_EQ(dialogs->ShowProxyDialog(fields, SampleTexts()), c.ok);
    EXPECT_EQ(fields.server, c.ok ? "changed" : "a");
    Drain(master_);
  }
}

TEST(ConsoleUiNoTerminalTest, PrintsStatusChangesAndAnswersCancel) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  int in = open("/dev/null", O_RDONLY);
  Console::Get().SetDescriptors(in, out[1]);
  {
    int shown = 0, cancels = 0;
    auto view = CreateConnectWindowView();
    view->Create(kTitle949, Picture{}, {[&] { ++shown; }, [&] { ++cancels; }, nullptr});
    view->Show();
    ProcessMessages();
    EXPECT_EQ(shown, 1);
    view->SetStatusText("On Connecting to Host.....");
    view->SetStatusText("On Connecting to Host.....");  // unchanged: not printed again
    view->PaintProgress(10, 130);
    view->SetStatusText("Connected");
    view->Destroy();

    auto dialogs = CreateDialogs();
    EXPECT_FALSE(dialogs->AskOkCancel("Quillmar", "OK?"));
    ProxyFields fields{"a", "b", "c", "d"};
    EXPECT_FALSE(dialogs->ShowProxyDialog(fields, ProxyDialogTexts{}));
    EXPECT_EQ(fields.server, "a");
    dialogs->ShowMessage("Quillmar", "done");
  }
  Console::Get().SetDescriptors(-1, -1);
  close(out[1]);
  close(in);
  EXPECT_EQ(Drain(out[0]), std::string(kTitleUtf8) +
                               "\nOn Connecting to Host.....\nConnected\n"
                               "[Quillmar] OK? -> Cancel\n[Quillmar] done\n");
  close(out[0]);
}
#endif

}  // namespace
}  // namespace qm::platform
