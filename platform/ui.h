// The user interface that the launcher drives: the connect window, the proxy
// dialog and message boxes. Win32 draws real windows, POSIX a console view;
// tests substitute a scripted implementation of the same interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qm::platform {

// A decoded picture: width * height pixels, row by row, 0xAARRGGBB.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
};

// What the connect window reports back to the launcher. Each callback runs on
// the loop's thread, from the loop or from a nested ProcessMessages.
struct ConnectWindowEvents {
  std::function<void()> on_show;          // the window has been shown (FormShow)
  std::function<void()> on_cancel_click;  // the "Cancel" link (or its key)
  std::function<void()> on_proxy_click;   // the "Proxy" link (or its key)
};

// Texts are code page 949 bytes; the view converts them for display.
class ConnectWindowView {
 public:
  virtual ~ConnectWindowView() = default;

  // Creates the (still hidden) window with its title and the picture.
  virtual void Create(const std::string& title,
                      const Picture& picture,
                      ConnectWindowEvents events) = 0;
  // Shows the window centred; on_show runs once it is visible.
  virtual void Show() = 0;
  virtual void SetPicture(const Picture& picture) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  // Repaints the progress bar now; the launcher calls it only when the
  // whole-number percentage changed.
  virtual void PaintProgress(int position, int maximum) = 0;
  virtual void Destroy() = 0;
};

// What the proxy dialog shows besides its fields, code page 949; the
// launcher gives its own table, so the texts exist once.
struct ProxyDialogTexts {
  std::string title;
  std::string server_label;
  std::string port_label;
  std::string user_name_label;
  std::string password_label;
  std::vector<std::string> help;  // four lines: how to find the values, whom to ask
  std::string ok;
  std::string cancel;
};

struct ProxyFields {
  std::string server;
  std::string port;
  std::string user_name;
  std::string password;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // A modal information box with one OK button, centred.
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
  // A modal OK/Cancel box (flags value 1); true for OK. Without a terminal
  // the console answers Cancel.
  virtual bool AskOkCancel(const std::string& caption, const std::string& text) = 0;
  // The modal proxy dialog, filled from fields; on OK fields holds the
  // entered texts (untrimmed) and the result is true.
  virtual bool ShowProxyDialog(ProxyFields& fields, const ProxyDialogTexts& texts) = 0;
};

// The backend's real implementations.
std::unique_ptr<ConnectWindowView> CreateConnectWindowView();
std::unique_ptr<Dialogs> CreateDialogs();

}  // namespace qm::platform
