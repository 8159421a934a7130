// The real connect window, proxy dialog and message boxes under Wine and Xvfb.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/message_loop.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "tests/platform/win32/png_writer.h"
#include "tests/platform/win32/test_support.h"

namespace qm::platform {
namespace {

using test::Rgb;

constexpr uint32_t kBarFill = 0xBCAE07;  // RGB(188, 174, 7)

std::string Cp949(const char8_t* utf8) {
  return Utf8ToCp949(reinterpret_cast<const char*>(utf8));
}

std::wstring Wide(const char8_t* utf8) {
  std::string text = reinterpret_cast<const char*>(utf8);
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

// A 380 x 220 picture: red grows to the right, green downwards, blue fixed.
Picture Gradient() {
  Picture picture;
  picture.width = 380;
  picture.height = 220;
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x)
      picture.pixels.push_back(0xFF000000u | Rgb(x * 255 / 379, y * 255 / 219, 0x60));
  }
  return picture;
}

// Runs action on the loop while a modal window (dialog, message box) runs,
// which proves that the modal loop keeps dispatching the thread's messages.
// Should the modal window stay open, it is closed after ten seconds so that
// the test fails instead of hanging.
class WhileModal {
 public:
  explicit WhileModal(std::function<void()> action)
      : action_(std::move(action)), window_([this](const Message& m) {
          if (m.id == kUserMessage + 1) {
            ran_ = true;
            action_();
          } else if (m.id == WM_TIMER) {
            KillTimer(reinterpret_cast<HWND>(window_.native_handle()), 1);
            PostMessageW(GetActiveWindow(), WM_CLOSE, 0, 0);
          }
        }) {
    window_.Post(kUserMessage + 1);
    SetTimer(reinterpret_cast<HWND>(window_.native_handle()), 1, 10000, nullptr);
  }
  bool ran() const { return ran_; }

 private:
  std::function<void()> action_;
  bool ran_ = false;
  MessageWindow window_;
};

struct CaptionSearch {
  const std::wstring* caption;
  HWND found = nullptr;
};

BOOL CALLBACK MatchCaption(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<CaptionSearch*>(param);
  if (IsWindowVisible(window) && test::WindowText(window) == *search->caption) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// The visible window of this thread captioned caption (found from inside
// its modal loop).
HWND FindThreadWindow(const std::wstring& caption) {
  CaptionSearch search{&caption};
  EnumThreadWindows(GetCurrentThreadId(), MatchCaption, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// One window for the suite: destroying a shown window costs Wine about two
// seconds without a window manager.
class ConnectWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    view_ = CreateConnectWindowView().release();
    ConnectWindowEvents events;
    events.on_show = [] { ++shown_; };
    events.on_cancel_click = [] { ++cancels_; };
    events.on_proxy_click = [] { ++proxies_; };
    view_->Create(Cp949(u8"연결중..."), Gradient(), events);
    view_->SetStatusText("Downloading New Quillmar.exe");
    view_->Show();
    test::PumpUntil([] { return shown_ > 0; });
    hwnd_ = FindWindowW(L"TFM_Connect", nullptr);
  }
  static void TearDownTestSuite() {
    view_->Destroy();
    delete view_;
    ProcessMessages();
  }
  void SetUp() override {
    ASSERT_EQ(shown_, 1);
    ASSERT_NE(hwnd_, nullptr);
    view_->PaintProgress(65, 130);
    cancels_ = proxies_ = 0;
  }

  test::Capture Snapshot() {
    test::PumpUntil([] { return false; }, 100);  // let painting settle
    return test::CaptureClient(hwnd_);
  }

  void Click(int x, int y) {
    SendMessageW(hwnd_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    SendMessageW(hwnd_, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    ProcessMessages();
  }

  static inline ConnectWindowView* view_ = nullptr;
  static inline HWND hwnd_ = nullptr;
  static inline int shown_ = 0;
  static inline int cancels_ = 0;
  static inline int proxies_ = 0;
};

TEST_F(ConnectWindowTest, BorderlessCentredWindowWithKoreanTitle) {
  EXPECT_EQ(shown_, 1);
  EXPECT_EQ(test::WindowText(hwnd_), Wide(u8"연결중..."));
  RECT client, frame;
  GetClientRect(hwnd_, &client);
  GetWindowRect(hwnd_, &frame);
  EXPECT_EQ(client.right, 382);
  EXPECT_EQ(client.bottom, 221);
  EXPECT_EQ(frame.right - frame.left, 382) << "no border";
  EXPECT_EQ(frame.bottom - frame.top, 221) << "no caption";
  EXPECT_NEAR(frame.left, (GetSystemMetrics(SM_CXSCREEN) - 382) / 2, 1);
  EXPECT_NEAR(frame.top, (GetSystemMetrics(SM_CYSCREEN) - 221) / 2, 1);
  EXPECT_TRUE(IsWindowVisible(hwnd_));
}

TEST_F(ConnectWindowTest, ScreenshotShowsPictureBarAndLinks) {
  test::Capture shot = Snapshot();
  ASSERT_EQ(shot.width, 382);
  ASSERT_EQ(shot.height, 221);
  ASSERT_TRUE(test::WritePng(test::BinaryDir() + "/connect-window.png", shot.width, shot.height,
                             shot.pixels));
  Picture picture = Gradient();
  for (auto [x, y] : {std::pair{0, 0}, {100, 50}, {379, 10}, {200, 180}, {5, 219}}) {
    SCOPED_TRACE(testing::Message() << "picture " << x << "," << y);
    EXPECT_EQ(shot.At(1 + x, 1 + y), picture.pixels[y * 380 + x] & 0xFFFFFF);
  }
  // 65 of 130: the inner 356 pixels of the bar are filled up to x = 13 + 178.
  for (int x : {14, 20, 185, 190})
    EXPECT_EQ(shot.At(x, 208), kBarFill) << "filled at x=" << x;
  for (int x : {192, 230, 270, 368})
    EXPECT_NE(shot.At(x, 208), kBarFill) << "unfilled at x=" << x;
  // Glyphs may be smoothed: count pixels of the text's hue, not one exact colour.
  auto count = [&](int left, int top, int right, int bottom, auto matches) {
    int n = 0;
    for (int y = top; y < bottom; ++y)
      for (int x = left; x < right; ++x)
        n += matches(shot.At(x, y));
    return n;
  };
  auto navy = [](uint32_t p) {
    int r = p >> 16, g = (p >> 8) & 0xFF, b = p & 0xFF;
    return r < 90 && g < 90 && b >= 100 && b <= 170;
  };
  auto white = [](uint32_t p) { return p == 0xFFFFFF; };
  EXPECT_GT(count(283, 197, 322, 208, navy), 10) << "navy \"Cancel\"";
  EXPECT_GT(count(332, 197, 364, 208, navy), 10) << "navy \"Proxy\"";
  EXPECT_GT(count(24, 197, 180, 210, white), 10) << "white status text";
}

TEST_F(ConnectWindowTest, TransparentPixelsShowThePanel) {
  Picture picture = Gradient();
  for (int y = 40; y < 60; ++y) {
    for (int x = 40; x < 60; ++x)
      picture.pixels[y * 380 + x] &= 0x00FFFFFF;  // alpha 0, as a GIF's transparent index
  }
  view_->SetPicture(picture);
  test::Capture shot = Snapshot();
  view_->SetPicture(Gradient());
  EXPECT_EQ(shot.At(1 + 50, 1 + 50), Rgb(210, 210, 210)) << "the panel's grey, not black";
  EXPECT_EQ(shot.At(1 + 30, 1 + 30), Gradient().pixels[30 * 380 + 30] & 0xFFFFFF);
}

TEST_F(ConnectWindowTest, ProgressRepaintsAtOnceAndClampsIntoRange) {
  struct Case {
    int position, maximum;
    bool filled_at_250;
    bool filled_at_20;
  };
  const Case cases[] = {
      {130, 130, true, true},  {0, 130, false, false}, {500, 130, true, true},
      {-5, 130, false, false}, {10, 0, false, false},  {1, 2, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.position << " of " << c.maximum);
    view_->PaintProgress(c.position, c.maximum);
    // No message processing: PaintProgress has painted by itself.
    test::Capture shot = test::CaptureClient(hwnd_);
    EXPECT_EQ(shot.At(250, 208) == kBarFill, c.filled_at_250);
    EXPECT_EQ(shot.At(20, 208) == kBarFill, c.filled_at_20);
  }
}

TEST_F(ConnectWindowTest, LinksAndCloseRequestFireTheirEvents) {
  Click(300, 202);
  EXPECT_EQ(cancels_, 1);
  EXPECT_EQ(proxies_, 0);
  Click(348, 202);
  EXPECT_EQ(proxies_, 1);
  Click(200, 100);  // the picture is not a link
  Click(276, 202);  // just left of "Cancel"
  EXPECT_EQ(cancels_, 1);
  EXPECT_EQ(proxies_, 1);
  PostMessageW(hwnd_, WM_CLOSE, 0, 0);
  ProcessMessages();
  EXPECT_EQ(cancels_, 2);
  EXPECT_TRUE(IsWindow(hwnd_)) << "closing is the launcher's decision";
}

// The proxy dialog's texts as the launcher gives them (code page 949).
ProxyDialogTexts DialogTexts() {
  return {"  [Setting Proxy Server ]",
          "Proxy Server",
          "Proxy Port",
          "(Proxy UserName)",
          "(Proxy Password)",
          {Cp949(u8"※ 프록시 서버 설정값은 아래와 같은 방법으로 확인 가능합니다"),
           Cp949(u8"인터넷Explore->도구->인터넷옵션->연결->LAN설정->"),
           Cp949(u8"->LAN설정 버튼클릭->프록시서버 주소와 Port를 확인"),
           Cp949(u8"※ 안된다면 네트웤담당자에게 문의하세요")},
          "OK",
          "Cancel"};
}

TEST_F(ConnectWindowTest, ProxyDialogFillsEditsReturnsTextsOnEnterAndIsModal) {
  auto dialogs = CreateDialogs();
  ProxyFields fields{"proxy.example", "8080", "user", Cp949(u8"비밀")};
  bool connect_enabled_while_open = true;
  std::vector<std::wstring> shown_texts;
  WhileModal action([&] {
    HWND dialog = FindThreadWindow(L"  [Setting Proxy Server ]");
    ASSERT_NE(dialog, nullptr);
    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, 380);
    EXPECT_EQ(client.bottom, 258);
    connect_enabled_while_open = IsWindowEnabled(hwnd_);
    std::vector<HWND> edits = test::ChildWindows(dialog, L"Edit");
    ASSERT_EQ(edits.size(), 4u);
    for (HWND edit : edits)
      shown_texts.push_back(test::WindowText(edit));
    RedrawWindow(dialog, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    test::Capture shot = test::CaptureClient(dialog);
    test::WritePng(test::BinaryDir() + "/proxy-dialog.png", shot.width, shot.height, shot.pixels);
    SetWindowTextW(edits[0], L" new.host ");
    SetWindowTextW(edits[1], L"3128");
    SetWindowTextW(edits[2], L"");
    SetWindowTextW(edits[3], Wide(u8"암호").c_str());
    // Enter in an edit chooses the default button, also when a handler
    // running inside the dialog processes the messages itself.
    SetFocus(edits[2]);
    PostMessageW(edits[2], WM_KEYDOWN, VK_RETURN, 1);
    PostMessageW(edits[2], WM_KEYUP, VK_RETURN, 0xC0000001);
    ProcessMessages();
  });
  EXPECT_TRUE(dialogs->ShowProxyDialog(fields, DialogTexts()));
  EXPECT_TRUE(action.ran());
  EXPECT_EQ(shown_texts,
            (std::vector<std::wstring>{L"proxy.example", L"8080", L"user", Wide(u8"비밀")}));
  EXPECT_FALSE(connect_enabled_while_open);
  EXPECT_TRUE(IsWindowEnabled(hwnd_));
  EXPECT_EQ(fields.server, " new.host ") << "untrimmed";
  EXPECT_EQ(fields.port, "3128");
  EXPECT_EQ(fields.user_name, "");
  EXPECT_EQ(fields.password, Cp949(u8"암호"));
}

TEST_F(ConnectWindowTest, ProxyDialogEscapeAndCloseBoxLeaveTheFields) {
  auto dialogs = CreateDialogs();
  for (int way = 0; way < 2; ++way) {
    SCOPED_TRACE(way == 0 ? "Escape" : "close box");
    ProxyFields fields{"a", "1", "b", "c"};
    WhileModal action([&] {
      HWND dialog = FindThreadWindow(L"  [Setting Proxy Server ]");
      ASSERT_NE(dialog, nullptr);
      std::vector<HWND> edits = test::ChildWindows(dialog, L"Edit");
      ASSERT_EQ(edits.size(), 4u);
      SetWindowTextW(edits[0], L"changed");
      if (way == 0) {
        SetFocus(edits[0]);
        PostMessageW(edits[0], WM_KEYDOWN, VK_ESCAPE, 1);
      } else {
        PostMessageW(dialog, WM_CLOSE, 0, 0);
      }
    });
    EXPECT_FALSE(dialogs->ShowProxyDialog(fields, DialogTexts()));
    EXPECT_TRUE(action.ran());
    EXPECT_EQ(fields.server, "a");
    EXPECT_TRUE(IsWindowEnabled(hwnd_));
  }
}

TEST(MessageBoxTest, BoxesShowKoreanTextsAndReturnTheButton) {
  auto dialogs = CreateDialogs();
  struct Case {
    int button;
    bool expected;
  };
  for (Case c : {Case{IDOK, true}, Case{IDCANCEL, false}}) {
    std::wstring body;
    WhileModal action([&] {
      HWND box = FindThreadWindow(Wide(u8"알림"));
      ASSERT_NE(box, nullptr);
      for (HWND label : test::ChildWindows(box, L"Static"))
        body += test::WindowText(label);
      PostMessageW(box, WM_COMMAND, c.button, 0);
    });
    EXPECT_EQ(
        dialogs->AskOkCancel(Cp949(u8"알림"),
                             Cp949(u8"프록시 서버가 있다면 확인을 누르고 설정값을 입력하세요.")),
        c.expected);
    EXPECT_TRUE(action.ran());
    EXPECT_NE(body.find(Wide(u8"프록시 서버가 있다면")), std::wstring::npos);
  }
  WhileModal close_info([&] {
    HWND box = FindThreadWindow(L"Quillmar");
    ASSERT_NE(box, nullptr);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  dialogs->ShowMessage("Quillmar", Cp949(u8"연결되지 않았습니다"));
  EXPECT_TRUE(close_info.ran());
}

TEST(ErrorDisplayTest, DefaultIsAMessageBoxCaptionedWithTheProgramTitle) {
  SetErrorDisplay(nullptr);
  std::wstring body;
  bool found = false;
  MessageWindow thrower([](const Message& m) {
    if (m.id == kUserMessage + 5)
      throw std::runtime_error("Unable to write to C:\\QuillMar.ini");
  });
  thrower.Post(kUserMessage + 5);
  WhileModal action([&] {
    HWND box = FindThreadWindow(L"qm_platform_win32_window_tests");
    found = box != nullptr;
    if (!box)
      box = GetActiveWindow();  // close whatever it is, so the test ends
    for (HWND label : test::ChildWindows(box, L"Static"))
      body += test::WindowText(label);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  ProcessMessages();
  EXPECT_TRUE(action.ran());
  EXPECT_TRUE(found);
  EXPECT_NE(body.find(L"Unable to write to C:\\QuillMar.ini"), std::wstring::npos);
}

}  // namespace
}  // namespace qm::platform
