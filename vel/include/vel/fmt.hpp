// The formatter: a `Module` printed as canonical vel source text. It fails only when the
// text would pass the bound on output (output_bound.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vel/ast.hpp"

namespace vel {

// `width` decides only whether a function header stays on one line. `size_hint`, the room
// reserved for the text at the start, may be a generous guess (the length of the source the
// module was parsed from, say).
std::string format_vel(const Module& module, std::uint64_t width, std::size_t size_hint = 0);

std::string format_float(double value);
std::string fmt_literal(const LiteralValue& value);
std::string fmt_type(const TensorType& type);
std::string fmt_dim(const Dim& dim);
std::string fmt_atom(const Atom& atom);
std::string fmt_param(const Param& param);

}  // namespace vel
