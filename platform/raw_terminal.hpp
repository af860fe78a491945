#pragma once

#include <termios.h>

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace ostrevane::platform {

// A terminal device in raw mode with its cursor hidden, holding one drawing: a
// block of whole lines that ends where the cursor is. When the object goes the
// drawing is erased and the terminal put back as it was; so it is too when
// SIGTERM, SIGHUP or SIGINT ends the process meanwhile, which the signal then
// does as it would have (for the first of the terminals open at one time; a
// signal that was ignored stays ignored).
class RawTerminal {
 public:
  // Opens `device`, discards what was typed on it and not read yet, switches
  // it to raw mode and hides the cursor. Fails when it cannot be opened, is
  // not a terminal or refuses the change.
  [[nodiscard]] static std::expected<RawTerminal, std::error_code> open(
      const std::filesystem::path& device);

  RawTerminal(RawTerminal&& other) noexcept;
  RawTerminal& operator=(RawTerminal&&) = delete;
  ~RawTerminal();

  // The device, to read keys from.
  int fd() const { return fd_; }

  // Returns a descriptor that becomes readable when a terminal of the process
  // was resized, or -1 when resizes go unnoticed.
  int resize_fd() const;

  // Returns whether a resize was noticed since the last call, and empties
  // resize_fd().
  bool take_resize();

  // Returns the terminal's width, 0 when it does not say.
  unsigned columns() const;

  // Draws `lines`, each `width` columns wide and without a line end, over the
  // drawing in place, without clearing the screen; they become the drawing.
  // Returns the error of a terminal that cannot be written to.
  [[nodiscard]] std::expected<void, std::error_code> draw(const std::vector<std::string>& lines,
                                                          std::size_t width);

 private:
  explicit RawTerminal(int fd) : fd_(fd) {}
  [[nodiscard]] std::expected<void, std::error_code> write_all(std::string_view bytes);
  void guard();
  void unguard();

  int fd_ = -1;
  termios saved_{};
  bool raw_ = false;
  bool guarding_ = false;  // whether this is the terminal the signals put back
  std::size_t lines_ = 0;  // the drawing's lines
  std::size_t width_ = 0;  // and the columns each takes
};

}  // namespace ostrevane::platform
