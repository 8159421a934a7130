#include "platform/posix/console.h"

#include <errno.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "platform/message_loop.h"
#include "platform/posix/fd_watch.h"

namespace qm::platform::posix {
namespace {

// The settings found at first change, for the signal handler too.
struct termios original_settings;
volatile sig_atomic_t restore_fd = -1;

void RestoreOnSignal(int signal_number) {
  if (restore_fd >= 0) {
    tcsetattr(restore_fd, TCSANOW, &original_settings);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

Console& Console::Get() {
  static Console console;
  return console;
}

Console::~Console() {
  Restore();
}

void Console::SetDescriptors(int in, int out) {
  Restore();
  SetKeyHandler(nullptr);
  in_ = in < 0 ? 0 : in;
  out_ = out < 0 ? 1 : out;
  status_.clear();
  status_shown_ = false;
}

bool Console::is_terminal() const {
  return isatty(in_) && isatty(out_);
}

void Console::EnterKeyMode() {
  if (!is_terminal() || key_mode_) {
    return;
  }
  struct termios settings;
  if (tcgetattr(in_, &settings) != 0) {
    return;
  }
  if (!saved_) {
    original_settings = settings;
    saved_ = true;
    restore_fd = in_;
    ::signal(SIGINT, RestoreOnSignal);
    ::signal(SIGTERM, RestoreOnSignal);
    ::signal(SIGHUP, RestoreOnSignal);
  }
  settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  tcsetattr(in_, TCSANOW, &settings);
  key_mode_ = true;
}

void Console::Restore() {
  if (saved_) {
    tcsetattr(in_, TCSANOW, &original_settings);
    saved_ = false;
    restore_fd = -1;
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
  }
  key_mode_ = false;
}

void Console::SetKeyHandler(std::function<void(char)> handler) {
  key_handler_ = std::move(handler);
  if (!key_handler_) {
    UnwatchFd(in_);
    Restore();
    return;
  }
  if (!is_terminal()) {
    return;
  }
  EnterKeyMode();
  WatchFd(in_, kFdReadable, [this](int fd, unsigned) {
    char keys[64];
    ssize_t n = ::read(fd, keys, sizeof(keys));
    if (n <= 0) {
      UnwatchFd(fd);  // end of input: no more keys
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (key_handler_) {
        key_handler_(keys[i]);
      }
    }
  });
}

bool Console::ReadLine(std::string* line, bool echo) {
  line->clear();
  // Line mode for the prompt, keys again afterwards.
  const bool had_keys = static_cast<bool>(key_handler_);
  std::function<void(char)> keys = key_handler_;
  UnwatchFd(in_);
  struct termios settings;
  const bool terminal = is_terminal() && tcgetattr(in_, &settings) == 0;
  if (terminal) {
    if (!saved_) {
      original_settings = settings;
      saved_ = true;
      restore_fd = in_;
    }
    settings.c_lflag |= ICANON;
    if (echo) {
      settings.c_lflag |= ECHO;
    } else {
      settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    }
    tcsetattr(in_, TCSANOW, &settings);
    key_mode_ = false;
  }
  bool done = false;
  bool ok = true;
  std::string pending;
  WatchFd(in_, kFdReadable, [&](int fd, unsigned) {
    if (done) {
      return;
    }
    char buffer[256];
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      return;
    }
    if (n <= 0) {
      ok = !pending.empty();
      done = true;
    } else {
      pending.append(buffer, n);
      done = pending.find('\n') != std::string::npos;
    }
    // The next line belongs to the next prompt: stop reading at once.
    if (done) {
      UnwatchFd(fd);
    }
  });
  // A modal prompt: the rest of the program goes on meanwhile.
  while (!done) {
    ProcessMessages();
    if (!done) {
      WaitForMessages(-1);
    }
  }
  UnwatchFd(in_);
  size_t end = pending.find('\n');
  *line = pending.substr(0, end);
  if (!line->empty() && line->back() == '\r') {
    line->pop_back();
  }
  if (terminal && !echo) {
    Write("\n");
  }
  if (had_keys) {
    SetKeyHandler(keys);
  } else if (terminal) {
    Restore();
  }
  return ok;
}

void Console::Write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(out_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;  // nowhere to show it
    }
    done += static_cast<size_t>(n);
  }
}

void Console::RedrawStatus() {
  if (status_.empty()) {
    return;
  }
  Write("\r" + status_ + "\x1b[K");
  status_shown_ = true;
}

void Console::PrintLine(const std::string& text) {
  if (status_shown_) {
    Write("\r\x1b[K");
  }
  Write(text + "\n");
  status_shown_ = false;
  if (is_terminal()) {
    RedrawStatus();
  }
}

void Console::Print(const std::string& text) {
  if (status_shown_) {
    Write("\r\x1b[K");
    status_shown_ = false;
  }
  Write(text);
}

void Console::SetStatusLine(const std::string& text) {
  status_ = text;
  RedrawStatus();
}

void Console::ClearStatusLine() {
  if (status_shown_) {
    Write("\n");
  }
  status_.clear();
  status_shown_ = false;
}

}  // namespace qm::platform::posix
