// Reading a file whole as UTF-8 text, with the reason a read failed. Used by the parser
// and by the configuration reader.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vel {

// Why a file could not be read whole as UTF-8 text. One value, two renderings: the
// parser shows its debug form, the configuration reader its display form.
struct ReadError {
  enum class Kind { Os, InvalidData, InvalidInput };
  Kind kind;
  int code = 0;  // the errno, for Kind::Os
};

// Os { code: 2, kind: NotFound, message: "No such file or directory" }
std::string debug_read_error(const ReadError& error);
// No such file or directory (os error 2)
std::string display_read_error(const ReadError& error);

// Reads the file at `path` (unchanged; relative to the working directory) whole into
// `text`, or gives the reason it could not. The interruption check (interrupt.hpp) is asked
// after each chunk read and whenever a signal breaks a wait (on a FIFO, a terminal): a file
// that never ends, such as /dev/zero, is read until it says so.
std::optional<ReadError> read_text_file(std::string_view path, std::string& text);

}  // namespace vel
