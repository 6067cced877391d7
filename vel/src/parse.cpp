#include "vel/parse.hpp"

namespace vel {

// Placeholders until the parser lands.
std::string debug_read_error(const ReadError&) { stop("parser not built yet"); }
std::string display_read_error(const ReadError&) { stop("parser not built yet"); }
std::optional<ReadError> read_text_file(std::string_view, std::string&) {
  stop("parser not built yet");
}
Module parse(std::string_view) { stop("parser not built yet"); }
Module parse_file(std::string_view) { stop("parser not built yet"); }

}  // namespace vel
