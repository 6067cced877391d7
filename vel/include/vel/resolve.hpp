// The axis resolver: fills the axes of view and tile operations from declared types.
#pragma once

#include "vel/ast.hpp"

namespace vel {

// A copy of `module` with the axes of its view and tile operations filled in.
Module resolve(const Module& module);

}  // namespace vel
