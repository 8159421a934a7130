// The terminal behind the console view: a status line redrawn in place, keys
// read one at a time, and lines read while the message loop keeps running.
#pragma once

#include <functional>
#include <string>

namespace qm::platform::posix {

class Console {
 public:
  static Console& Get();

  // Uses other descriptors (a pseudo-terminal in tests); -1 restores
  // standard input and output.
  void SetDescriptors(int in, int out);

  // Input and output are a terminal: keys and prompts work.
  bool is_terminal() const;

  // Each key goes to handler (no echo, no Enter needed); nullptr stops.
  void SetKeyHandler(std::function<void(char)> handler);

  // Reads one line (without its line end) while messages keep being
  // dispatched; false at end of input.
  bool ReadLine(std::string* line, bool echo = true);

  // UTF-8 text. A printed line goes above the status line.
  void PrintLine(const std::string& text);
  void Print(const std::string& text);
  void SetStatusLine(const std::string& text);
  void ClearStatusLine();

  // Puts the terminal back as it was found.
  void Restore();

 private:
  Console() = default;
  ~Console();
  void EnterKeyMode();
  void Write(const std::string& text);
  void RedrawStatus();

  int in_ = 0;
  int out_ = 1;
  bool saved_ = false;
  bool key_mode_ = false;
  std::function<void(char)> key_handler_;
  std::string status_;
  bool status_shown_ = false;
};

}  // namespace qm::platform::posix
