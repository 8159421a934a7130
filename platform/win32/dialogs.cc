// Message boxes and the modal proxy dialog.
#include <windows.h>

#include <array>
#include <stdexcept>
#include <vector>

#include "platform/ui.h"
#include "platform/win32/dialog_keys.h"
#include "platform/win32/gdi.h"
#include "platform/win32/guard.h"
#include "platform/win32/owned_window.h"
#include "platform/win32/win_text.h"

namespace qm::platform {
namespace {

using win32::GdiObject;

constexpr wchar_t kProxyClassName[] = L"TFM_Proxy";
constexpr int kClientWidth = 380;
constexpr int kClientHeight = 258;
constexpr COLORREF kMaroon = RGB(128, 0, 0);
constexpr COLORREF kHelpBlue = RGB(0, 0, 217);
constexpr int kFirstEditId = 101;

struct EditLayout {
  int x, y, width, height;
};
// C_Proxy, C_ProxyPort, C_ProxyUserName, C_ProxyPassWord in tab order.
constexpr std::array<EditLayout, 4> kEdits = {{
    {129, 18, 194, 21},
    {130, 47, 40, 21},
    {130, 75, 121, 21},
    {129, 102, 121, 21},
}};

enum class LabelFont { kSans, kGulim };
enum class LabelText { kServer, kPort, kUserName, kPassword, kHelp1, kHelp2, kHelp3, kHelp4 };
struct LabelLayout {
  int x, y;
  LabelText text;
  LabelFont font;
  COLORREF colour;
};
constexpr std::array<LabelLayout, 8> kLabels = {{
    {48, 20, LabelText::kServer, LabelFont::kSans, RGB(0, 0, 0)},
    {48, 51, LabelText::kPort, LabelFont::kSans, RGB(0, 0, 0)},
    {41, 80, LabelText::kUserName, LabelFont::kSans, RGB(0, 0, 0)},
    {41, 107, LabelText::kPassword, LabelFont::kSans, RGB(0, 0, 0)},
    {19, 148, LabelText::kHelp1, LabelFont::kGulim, kMaroon},
    {20, 199, LabelText::kHelp4, LabelFont::kGulim, kMaroon},
    {37, 165, LabelText::kHelp2, LabelFont::kGulim, kHelpBlue},
    {39, 180, LabelText::kHelp3, LabelFont::kGulim, kHelpBlue},
}};

const std::string& LabelOf(const ProxyDialogTexts& texts, LabelText which) {
  static const std::string kNone;
  switch (which) {
    case LabelText::kServer:
      return texts.server_label;
    case LabelText::kPort:
      return texts.port_label;
    case LabelText::kUserName:
      return texts.user_name_label;
    case LabelText::kPassword:
      return texts.password_label;
    default: {
      size_t line = static_cast<size_t>(which) - static_cast<size_t>(LabelText::kHelp1);
      return line < texts.help.size() ? texts.help[line] : kNone;
    }
  }
}

// Bevel2 then Bevel1, lowered boxes.
constexpr std::array<RECT, 2> kBevels = {{
    {10, 141, 10 + 361, 141 + 76},
    {8, 9, 8 + 363, 9 + 129},
}};

// Disables the thread's other top-level windows while a modal window runs,
// as a modal form does, and enables them again afterwards.
class ThreadWindowsDisabler {
 public:
  explicit ThreadWindowsDisabler(HWND except) : except_(except) {
    EnumThreadWindows(GetCurrentThreadId(), &Collect, reinterpret_cast<LPARAM>(this));
    for (HWND window : disabled_) {
      EnableWindow(window, FALSE);
    }
  }
  ~ThreadWindowsDisabler() {
    for (HWND window : disabled_) {
      if (IsWindow(window)) {
        EnableWindow(window, TRUE);
      }
    }
  }
  ThreadWindowsDisabler(const ThreadWindowsDisabler&) = delete;
  ThreadWindowsDisabler& operator=(const ThreadWindowsDisabler&) = delete;

 private:
  static BOOL CALLBACK Collect(HWND window, LPARAM param) {
    auto* self = reinterpret_cast<ThreadWindowsDisabler*>(param);
    if (window != self->except_ && IsWindowVisible(window) && IsWindowEnabled(window)) {
      self->disabled_.push_back(window);
    }
    return TRUE;
  }

  HWND except_;
  std::vector<HWND> disabled_;
};

class ProxyDialog {
 public:
  bool Run(ProxyFields& fields, const ProxyDialogTexts& texts) {
    texts_ = &texts;
    win32::RegisterOwnedWindowClass<ProxyDialog>(
        kProxyClassName, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1), "proxy dialog");
    sans_font_ = GdiObject(win32::MakeFont(L"MS Sans Serif", -11, false, DEFAULT_CHARSET));
    gulim_font_ =
        GdiObject(win32::MakeFont(win32::Utf8ToWide(u8"굴림"), -12, false, HANGEUL_CHARSET));
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    const DWORD ex_style = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    RECT frame = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&frame, style, FALSE, ex_style);
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;
    POINT at = win32::CentredOnScreen(width, height);
    hwnd_ = CreateWindowExW(ex_style, kProxyClassName, win32::Cp949ToWide(texts.title).c_str(),
                            style, at.x, at.y, width, height, GetActiveWindow(), nullptr,
                            GetModuleHandleW(nullptr), this);
    if (!hwnd_) {
      throw std::runtime_error("Cannot create the proxy dialog");
    }
    CreateControls();
    const std::string* values[] = {&fields.server, &fields.port, &fields.user_name,
                                   &fields.password};
    for (size_t i = 0; i < edits_.size(); ++i) {
      SetWindowTextW(edits_[i], win32::Cp949ToWide(*values[i]).c_str());
    }

    bool ok = false;
    {
      ThreadWindowsDisabler disabled(hwnd_);
      ShowWindow(hwnd_, SW_SHOW);
      SetForegroundWindow(hwnd_);
      SetFocus(edits_[0]);
      SendMessageW(edits_[0], EM_SETSEL, 0, -1);
      HWND outer_dialog = win32::KeyboardDialog();
      win32::SetKeyboardDialog(hwnd_);
      ok = RunModalLoop();
      win32::SetKeyboardDialog(outer_dialog);
      if (ok) {
        std::string* outputs[] = {&fields.server, &fields.port, &fields.user_name,
                                  &fields.password};
        for (size_t i = 0; i < edits_.size(); ++i) {
          *outputs[i] = win32::WideToCp949(EditText(edits_[i]));
        }
      }
      // Hide before enabling the others so that activation returns to them.
      ShowWindow(hwnd_, SW_HIDE);
    }
    HWND hwnd = hwnd_;
    hwnd_ = nullptr;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    DestroyWindow(hwnd);
    return ok;
  }

  ~ProxyDialog() {
    if (hwnd_) {
      SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
      DestroyWindow(hwnd_);
    }
  }

 private:
  enum class State { kOpen, kOk, kCancel };

  static std::wstring EditText(HWND edit) {
    int length = GetWindowTextLengthW(edit);
    std::wstring text(length + 1, L'\0');
    length = GetWindowTextW(edit, text.data(), length + 1);
    text.resize(length);
    return text;
  }

  void CreateControls() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    for (size_t i = 0; i < kEdits.size(); ++i) {
      const EditLayout& e = kEdits[i];
      edits_[i] = CreateWindowExW(
          WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, e.x,
          e.y, e.width, e.height, hwnd_,
          reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstEditId + i)), instance, nullptr);
      SendMessageW(edits_[i], WM_SETFONT, reinterpret_cast<WPARAM>(sans_font_.get()), FALSE);
    }
    HWND ok = CreateWindowExW(0, L"BUTTON", win32::Cp949ToWide(texts_->ok).c_str(),
                              WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 116, 225, 75,
                              25, hwnd_, reinterpret_cast<HMENU>(IDOK), instance, nullptr);
    HWND cancel = CreateWindowExW(0, L"BUTTON", win32::Cp949ToWide(texts_->cancel).c_str(),
                                  WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 206, 225, 75,
                                  25, hwnd_, reinterpret_cast<HMENU>(IDCANCEL), instance, nullptr);
    for (HWND button : {ok, cancel}) {
      SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(sans_font_.get()), FALSE);
    }
  }

  // Dispatches the whole thread's messages (transfers go on behind the
  // dialog) until OK or Cancel.
  bool RunModalLoop() {
    state_ = State::kOpen;
    while (state_ == State::kOpen) {
      MSG msg;
      if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        WaitForMessages(-1);
        continue;
      }
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));  // for the outer loop
        return false;
      }
      if (win32::TranslateDialogKeys(&msg)) {
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    return state_ == State::kOk;
  }

  friend LRESULT CALLBACK win32::OwnedWindowProc<ProxyDialog>(HWND, UINT, WPARAM, LPARAM);

  bool Handle(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result) {
    switch (msg) {
      case WM_COMMAND:
        if (LOWORD(wparam) == IDOK) {
          state_ = State::kOk;
        } else if (LOWORD(wparam) == IDCANCEL) {
          state_ = State::kCancel;
        } else if (HIWORD(wparam) == EN_SETFOCUS) {
          ActivateKoreanInput();
        }
        return true;
      case WM_CLOSE:
        state_ = State::kCancel;
        return true;
      case DM_GETDEFID:
        *result = MAKELONG(IDOK, DC_HASDEFID);
        return true;
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        Paint(dc);
        EndPaint(hwnd, &ps);
        return true;
      }
      case WM_PRINTCLIENT: {
        HDC dc = reinterpret_cast<HDC>(wparam);
        RECT client = {0, 0, kClientWidth, kClientHeight};
        FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
        Paint(dc);
        return true;
      }
      default:
        return false;
    }
  }

  void Paint(HDC dc) {
    for (RECT bevel : kBevels) {
      DrawEdge(dc, &bevel, BDR_SUNKENOUTER, BF_RECT);
    }
    SetBkMode(dc, TRANSPARENT);
    HGDIOBJ old_font = SelectObject(dc, sans_font_.get());
    for (const LabelLayout& label : kLabels) {
      SelectObject(dc, label.font == LabelFont::kSans ? sans_font_.get() : gulim_font_.get());
      SetTextColor(dc, label.colour);
      std::wstring text = win32::Cp949ToWide(LabelOf(*texts_, label.text));
      TextOutW(dc, label.x, label.y, text.c_str(), static_cast<int>(text.size()));
    }
    SelectObject(dc, old_font);
  }

  // The edits ask for the Korean input method; only a layout the user has
  // installed is switched to.
  static void ActivateKoreanInput() {
    HKL layouts[32];
    int count = GetKeyboardLayoutList(32, layouts);
    for (int i = 0; i < count; ++i) {
      if (LOWORD(reinterpret_cast<UINT_PTR>(layouts[i])) == 0x0412) {
        ActivateKeyboardLayout(layouts[i], 0);
        return;
      }
    }
  }

  HWND hwnd_ = nullptr;
  const ProxyDialogTexts* texts_ = nullptr;
  std::array<HWND, 4> edits_ = {};
  State state_ = State::kOpen;
  GdiObject sans_font_;
  GdiObject gulim_font_;
};

class Win32Dialogs final : public Dialogs {
 public:
  void ShowMessage(const std::string& caption, const std::string& text) override {
    // The text may name the game folder, in any script.
    MessageBoxW(nullptr, win32::BytesToSystem(text).c_str(), win32::Cp949ToWide(caption).c_str(),
                MB_OK | MB_ICONINFORMATION | MB_TASKMODAL);
  }

  bool AskOkCancel(const std::string& caption, const std::string& text) override {
    return MessageBoxW(GetActiveWindow(), win32::BytesToSystem(text).c_str(),
                       win32::Cp949ToWide(caption).c_str(), MB_OKCANCEL) == IDOK;
  }

  bool ShowProxyDialog(ProxyFields& fields, const ProxyDialogTexts& texts) override {
    ProxyDialog dialog;
    return dialog.Run(fields, texts);
  }
};

}  // namespace

std::unique_ptr<Dialogs> CreateDialogs() {
  return std::make_unique<Win32Dialogs>();
}

}  // namespace qm::platform
