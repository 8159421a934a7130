// The borderless connect window: picture, progress bar, status line and the
// "Cancel" and "Proxy" links, all drawn here with GDI.
#include <windows.h>

#include <algorithm>
#include <stdexcept>

#include "platform/ui.h"
#include "platform/win32/gdi.h"
#include "platform/win32/guard.h"
#include "platform/win32/owned_window.h"
#include "platform/win32/win_text.h"

namespace qm::platform {
namespace {

using win32::GdiObject;

constexpr wchar_t kClassName[] = L"TFM_Connect";
constexpr int kClientWidth = 382;
constexpr int kClientHeight = 221;
constexpr COLORREF kBackground = RGB(210, 210, 210);
constexpr COLORREF kBarFill = RGB(188, 174, 7);
constexpr COLORREF kLinkColour = RGB(0, 0, 128);  // navy
constexpr RECT kPictureRect = {1, 1, 1 + 380, 1 + 220};
constexpr RECT kBarRect = {12, 195, 12 + 358, 195 + 17};
constexpr RECT kStatusRect = {24, 197, 24 + 156, 197 + 13};
constexpr RECT kCancelRect = {283, 197, 283 + 39, 197 + 11};
constexpr RECT kProxyRect = {332, 197, 332 + 32, 197 + 11};
// 0xAARRGGBB over the panel's colour, as an opaque 0x00RRGGBB.
uint32_t OverPanel(uint32_t pixel) {
  const uint32_t alpha = pixel >> 24;
  const uint32_t panel[] = {GetBValue(kBackground), GetGValue(kBackground), GetRValue(kBackground)};
  uint32_t out = 0;
  for (int channel = 0; channel < 3; ++channel) {
    const uint32_t value = (pixel >> (8 * channel)) & 0xFF;
    out |= ((value * alpha + panel[channel] * (255 - alpha) + 127) / 255) << (8 * channel);
  }
  return out;
}

// Posted to itself by Show so that on_show runs after the first paint.
constexpr UINT kShownMessage = WM_APP + 1;

enum class Link { kNone, kCancel, kProxy };

Link LinkAt(POINT point) {
  if (PtInRect(&kCancelRect, point)) {
    return Link::kCancel;
  }
  if (PtInRect(&kProxyRect, point)) {
    return Link::kProxy;
  }
  return Link::kNone;
}

class ConnectWindow final : public ConnectWindowView {
 public:
  ~ConnectWindow() override { Destroy(); }

  void Create(const std::string& title,
              const Picture& picture,
              ConnectWindowEvents events) override {
    Destroy();
    win32::RegisterOwnedWindowClass<ConnectWindow>(kClassName, nullptr, "connect window");
    events_ = std::move(events);
    SetPicture(picture);
    status_font_ = GdiObject(win32::MakeFont(L"MS Sans Serif", -9, false, DEFAULT_CHARSET));
    link_font_ =
        GdiObject(win32::MakeFont(win32::Utf8ToWide(u8"굴림"), -11, true, DEFAULT_CHARSET));
    std::wstring caption =
        title.empty() ? win32::Utf8ToWide(u8"연결중...") : win32::Cp949ToWide(title);
    POINT at = win32::CentredOnScreen(kClientWidth, kClientHeight);
    // WS_POPUP without border: the window is exactly its client area.
    hwnd_ = CreateWindowExW(WS_EX_APPWINDOW, kClassName, caption.c_str(),
                            WS_POPUP | WS_CLIPCHILDREN, at.x, at.y, kClientWidth, kClientHeight,
                            nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (!hwnd_) {
      throw std::runtime_error("Cannot create the connect window");
    }
  }

  void Show() override {
    if (!hwnd_) {
      return;
    }
    POINT at = win32::CentredOnScreen(kClientWidth, kClientHeight);
    SetWindowPos(hwnd_, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
    PostMessageW(hwnd_, kShownMessage, 0, 0);
  }

  void SetPicture(const Picture& picture) override {
    picture_ = picture;
    if (picture_.width <= 0 || picture_.height <= 0 ||
        picture_.pixels.size() < static_cast<size_t>(picture_.width) * picture_.height) {
      picture_ = Picture{};
    }
    // The DIB has no alpha: transparent pixels are blended with the panel
    // here, or they would show black.
    for (uint32_t& pixel : picture_.pixels) {
      pixel = OverPanel(pixel);
    }
    Invalidate(&kPictureRect);
  }

  void SetStatusText(const std::string& text) override {
    status_ = win32::BytesToSystem(text);  // may name the game folder
    Invalidate(&kBarRect);
  }

  void PaintProgress(int position, int maximum) override {
    maximum_ = std::max(0, maximum);
    position_ = std::clamp(position, 0, maximum_);
    if (!hwnd_) {
      return;
    }
    InvalidateRect(hwnd_, &kBarRect, FALSE);
    UpdateWindow(hwnd_);
  }

  void Destroy() override {
    if (hwnd_) {
      HWND hwnd = hwnd_;
      hwnd_ = nullptr;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      DestroyWindow(hwnd);
    }
  }

 private:
  friend LRESULT CALLBACK win32::OwnedWindowProc<ConnectWindow>(HWND, UINT, WPARAM, LPARAM);

  bool Handle(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result) {
    switch (msg) {
      case WM_ERASEBKGND:
        *result = 1;
        return true;
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        PaintBuffered(dc);
        EndPaint(hwnd, &ps);
        return true;
      }
      case WM_PRINTCLIENT:
        PaintBuffered(reinterpret_cast<HDC>(wparam));
        return true;
      case WM_SETCURSOR:
        if (LOWORD(lparam) == HTCLIENT) {
          POINT point;
          GetCursorPos(&point);
          ScreenToClient(hwnd, &point);
          SetCursor(LoadCursorW(nullptr, LinkAt(point) != Link::kNone ? IDC_HAND : IDC_ARROW));
          *result = TRUE;
          return true;
        }
        return false;
      case WM_LBUTTONDOWN:
        pressed_ = LinkAt(POINT{XFromLParam(lparam), YFromLParam(lparam)});
        if (pressed_ != Link::kNone) {
          SetCapture(hwnd);
        }
        return true;
      case WM_LBUTTONUP: {
        Link pressed = pressed_;
        pressed_ = Link::kNone;
        if (GetCapture() == hwnd) {
          ReleaseCapture();
        }
        if (pressed != Link::kNone &&
            LinkAt(POINT{XFromLParam(lparam), YFromLParam(lparam)}) == pressed) {
          Fire(pressed == Link::kCancel ? events_.on_cancel_click : events_.on_proxy_click);
        }
        return true;
      }
      case WM_CLOSE:
        // Alt+F4 and the taskbar's close: the same as the "Cancel" link, so
        // the launcher ends the run and closes the window its own way.
        Fire(events_.on_cancel_click);
        return true;
      case kShownMessage:
        Fire(events_.on_show);
        return true;
      default:
        return false;
    }
  }

  static int XFromLParam(LPARAM lparam) { return static_cast<short>(LOWORD(lparam)); }
  static int YFromLParam(LPARAM lparam) { return static_cast<short>(HIWORD(lparam)); }

  // A copy: the handler may destroy or recreate the window.
  static void Fire(const std::function<void()>& event) {
    std::function<void()> copy = event;
    if (copy) {
      copy();
    }
  }

  void Invalidate(const RECT* rect) {
    if (hwnd_) {
      InvalidateRect(hwnd_, rect, FALSE);
    }
  }

  void PaintBuffered(HDC target) {
    HDC dc = CreateCompatibleDC(target);
    GdiObject bitmap(CreateCompatibleBitmap(target, kClientWidth, kClientHeight));
    HGDIOBJ old_bitmap = SelectObject(dc, bitmap.get());
    Paint(dc);
    BitBlt(target, 0, 0, kClientWidth, kClientHeight, dc, 0, 0, SRCCOPY);
    SelectObject(dc, old_bitmap);
    DeleteDC(dc);
  }

  void Paint(HDC dc) {
    RECT client = {0, 0, kClientWidth, kClientHeight};
    GdiObject background(CreateSolidBrush(kBackground));
    FillRect(dc, &client, static_cast<HBRUSH>(background.get()));
    DrawEdge(dc, &client, BDR_RAISEDOUTER, BF_RECT);  // Panel1's frame
    PaintPicture(dc);
    PaintBar(dc);
    SetBkMode(dc, TRANSPARENT);
    HGDIOBJ old_font = SelectObject(dc, status_font_.get());
    SetTextColor(dc, RGB(255, 255, 255));
    RECT status = kStatusRect;
    DrawTextW(dc, status_.c_str(), static_cast<int>(status_.size()), &status,
              DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, link_font_.get());
    SetTextColor(dc, kLinkColour);
    RECT cancel = kCancelRect;
    DrawTextW(dc, L"Cancel", -1, &cancel, DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    RECT proxy = kProxyRect;
    DrawTextW(dc, L"Proxy", -1, &proxy, DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old_font);
  }

  void PaintPicture(HDC dc) {
    if (picture_.pixels.empty()) {
      return;
    }
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = picture_.width;
    info.bmiHeader.biHeight = -picture_.height;  // rows top to bottom
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;  // 0xAARRGGBB is the DIB's BGRA order
    info.bmiHeader.biCompression = BI_RGB;
    SetStretchBltMode(dc, COLORONCOLOR);
    StretchDIBits(dc, kPictureRect.left, kPictureRect.top, kPictureRect.right - kPictureRect.left,
                  kPictureRect.bottom - kPictureRect.top, 0, 0, picture_.width, picture_.height,
                  picture_.pixels.data(), &info, DIB_RGB_COLORS, SRCCOPY);
  }

  // Drawn by hand: a themed progress bar ignores its colour.
  void PaintBar(HDC dc) {
    RECT frame = kBarRect;
    DrawEdge(dc, &frame, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
    FillRect(dc, &frame, GetSysColorBrush(COLOR_BTNFACE));
    int inner = frame.right - frame.left;
    int filled =
        maximum_ > 0 ? static_cast<int>(static_cast<long long>(inner) * position_ / maximum_) : 0;
    if (filled > 0) {
      RECT bar = {frame.left, frame.top, frame.left + filled, frame.bottom};
      GdiObject brush(CreateSolidBrush(kBarFill));
      FillRect(dc, &bar, static_cast<HBRUSH>(brush.get()));
    }
  }

  HWND hwnd_ = nullptr;
  ConnectWindowEvents events_;
  Picture picture_;
  std::wstring status_ = L"Downloading New Quillmar.exe";
  int position_ = 0;
  int maximum_ = 130;
  Link pressed_ = Link::kNone;
  GdiObject status_font_;
  GdiObject link_font_;
};

}  // namespace

std::unique_ptr<ConnectWindowView> CreateConnectWindowView() {
  return std::make_unique<ConnectWindow>();
}

}  // namespace qm::platform
