// The flat module, once its values are named: as records, or as its JSON text written
// straight from the flat function, without the records.
#pragma once

#include <string>
#include <string_view>

#include "flat_program.hpp"
#include "vel/ast.hpp"

namespace vel::flat {

// The flat module: `module`'s header comments and one function under `key`, with the name
// and comments of `entry`, the parameters and returns of `program`, and its operations.
Module to_module(const FlatProgram& program, const Module& module, std::string_view key,
                 const Function& entry);

// Its JSON text, byte for byte as `module_to_json` writes the module `to_module` makes.
std::string to_json(const FlatProgram& program, const Module& module, std::string_view key,
                    const Function& entry);

}  // namespace vel::flat
