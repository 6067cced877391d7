#include "vel/fmt.hpp"

namespace vel {

// Placeholders until the formatter lands.
std::string format_vel(const Module&, std::uint64_t) { stop("formatter not built yet"); }
std::string format_float(double) { stop("formatter not built yet"); }
std::string fmt_literal(const LiteralValue&) { stop("formatter not built yet"); }
std::string fmt_type(const TensorType&) { stop("formatter not built yet"); }
std::string fmt_dim(const Dim&) { stop("formatter not built yet"); }
std::string fmt_atom(const Atom&) { stop("formatter not built yet"); }
std::string fmt_param(const Param&) { stop("formatter not built yet"); }

}  // namespace vel
