// The parser: vel source text, or a file read whole, to a `Module`. It stops the call at
// the first error with one message.
#pragma once

#include <string_view>

#include "vel/ast.hpp"

namespace vel {

// `source` must be valid UTF-8 (every Python str is; `parse_file` checks the file's bytes).
Module parse(std::string_view source);
// Reads the file whole, then parses it; a file that cannot be read stops the call with
// the unwrap_err_message of the debug form of the read error.
Module parse_file(std::string_view path);

}  // namespace vel
