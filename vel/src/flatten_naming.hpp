// Naming the values of a flat function. Each value takes the first of the names that the
// rules of inlining give it (`Value::first`, then `second`) under which it captures
// nothing: no other value, or text the function keeps (a parameter, a dimension, a
// configuration name, a weight reference), that is read while the value stands under that
// name. Where every such name would capture, the value takes the next free one: its name,
// an underscore and the least number from 1 that no name of the function has. The final
// value of a declared return of the entry is written under the return's own name, and that
// of a cache slot under the slot's, unless a parameter of that name is still read then.
#pragma once

#include "flat_program.hpp"
#include "flatten_plan.hpp"
#include "vel/flatten.hpp"

namespace vel::flat {

// Names `program`'s values. The texts it protects are those that mean something where the
// flat function reads them: its parameters and the fields of its dict parameters, and the
// kept names (configuration names, symbolic dimensions). A name that nothing defines, read
// where the module reads an undefined name, protects nothing.
void choose_names(FlatProgram& program, const KeptNames& kept);

// Renames the weight references among the flat function's arguments by `rename`: the
// texts beginning with "weights." that it reads as they are (not a value nor a cache
// slot's incoming value), before the values are named.
void rename_weights(FlatProgram& program, const RenameWeight& rename);

// The name a parameter or a return of the flat function shows: its value's, or for one
// that reads a number, its own.
Text shown_name(const FlatProgram& program, const FlatParam& p);

}  // namespace vel::flat
