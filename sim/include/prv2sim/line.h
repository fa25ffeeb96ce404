// The simulator's end of the serial line: the master side of a new pseudo-terminal, or an
// existing serial device; a symbolic link that names the line for the driver; the character
// format that paces bytes like a real wire.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace prv2sim {

// Character format such as "8N1": data bits (5..8), parity (N, E, O, M, S), stop bits (1, 1.5,
// 2).
struct CharFormat {
  int data_bits = 8;
  char parity = 'N';
  double stop_bits = 1.0;
  // Bits on the wire per character: start bit, data bits, parity bit, stop bits.
  double bits() const { return 1.0 + data_bits + (parity == 'N' ? 0.0 : 1.0) + stop_bits; }
};
std::optional<CharFormat> parse_char_format(std::string_view text);

// An open line end. Moving it moves the ownership of the descriptor.
class LineEnd {
 public:
  // A new pseudo-terminal pair. The slave side (the driver's side) is set to raw mode (no
  // CR/LF translation, no echo) and closed again; the settings stay with the terminal.
  // Throws std::system_error.
  static LineEnd open_pty();
  // An existing serial device in raw mode at the baud rate (0 keeps the device's speed) and
  // format. Throws std::system_error, or std::invalid_argument for a baud rate termios lacks.
  static LineEnd open_device(const std::string& path, unsigned baud, const CharFormat& format);

  LineEnd() = default;
  LineEnd(LineEnd&& other) noexcept;
  LineEnd& operator=(LineEnd&& other) noexcept;
  LineEnd(const LineEnd&) = delete;
  LineEnd& operator=(const LineEnd&) = delete;
  ~LineEnd();

  bool is_open() const { return fd_ >= 0; }
  bool is_pty() const { return pty_; }
  int fd() const { return fd_; }
  // The path the driver opens: the pty's slave side, or the device.
  const std::string& path() const { return path_; }
  void close();

 private:
  int fd_ = -1;
  bool pty_ = false;
  std::string path_;
};

// Puts a terminal into raw mode: 8 bits unless `format` says otherwise, no translation, no
// echo, no flow control, reads return what is there. `baud` 0 keeps the speed.
void set_raw_mode(int fd, unsigned baud, const CharFormat& format);

// A symbolic link that the simulator owns. point_to() replaces it atomically (an existing
// symbolic link there is replaced; any other file is refused with std::system_error). The
// destructor removes the link, if it still points where this object last pointed it.
class SymLink {
 public:
  SymLink() = default;
  explicit SymLink(std::string link_path) : link_(std::move(link_path)) {}
  SymLink(const SymLink&) = delete;
  SymLink& operator=(const SymLink&) = delete;
  ~SymLink() { remove(); }

  const std::string& link_path() const { return link_; }
  void point_to(const std::string& target);
  void remove();

 private:
  std::string link_;
  std::string target_;
};

}  // namespace prv2sim
