// Win32 only: RAII owners of GDI objects and a few drawing helpers shared
// by the connect window and the proxy dialog.
#pragma once

#include <windows.h>

#include <string>

namespace qm::platform::win32 {

class GdiObject {
 public:
  GdiObject() = default;
  explicit GdiObject(HGDIOBJ object) : object_(object) {}
  ~GdiObject() { Reset(); }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  GdiObject& operator=(GdiObject&& other) noexcept {
    if (this != &other) {
      Reset();
      object_ = other.object_;
      other.object_ = nullptr;
    }
    return *this;
  }
  void Reset() {
    if (object_)
      DeleteObject(object_);
    object_ = nullptr;
  }
  HGDIOBJ get() const { return object_; }
  HFONT font() const { return static_cast<HFONT>(object_); }

 private:
  HGDIOBJ object_ = nullptr;
};

// A font by its height in pixels, passed to LOGFONT as it is: a positive
// height is the whole character cell, a negative one the characters alone
// without the internal leading, which is how the window's texts are sized.
inline HFONT MakeFont(const std::wstring& face, int height, bool underline, BYTE charset) {
  LOGFONTW lf = {};
  lf.lfHeight = height;
  lf.lfWeight = FW_NORMAL;
  lf.lfUnderline = underline;
  lf.lfCharSet = charset;
  lf.lfQuality = DEFAULT_QUALITY;
  lstrcpynW(lf.lfFaceName, face.c_str(), LF_FACESIZE);
  return CreateFontIndirectW(&lf);
}

// Places a window of the given size centred on the primary screen.
inline POINT CentredOnScreen(int width, int height) {
  return POINT{(GetSystemMetrics(SM_CXSCREEN) - width) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - height) / 2};
}

}  // namespace qm::platform::win32
