// The JSON interchange form of the syntax tree, written and read record by record.
#pragma once

#include <string>
#include <string_view>

#include "vel/ast.hpp"

namespace vel {

namespace json {
class Reader;
}

// The JSON interchange form. The writers append compact JSON to `out` and cannot fail.
void serialize(std::string& out, const Dim& dim);
void serialize(std::string& out, const TensorType& type);
void serialize(std::string& out, const Atom& atom);
void serialize(std::string& out, const LiteralValue& value);
void serialize(std::string& out, const Op& op);
// The first part of an operation's record: the open brace, its kind and the kind's own
// members; and its list of output types. The flattener writes the rest of the operations
// it builds itself.
void serialize_kind(std::string& out, const OpKind& kind);
void serialize(std::string& out, const OutputTypes& types);
void serialize(std::string& out, const Param& param);
void serialize(std::string& out, const Function& function);
void serialize(std::string& out, const Module& module);

// The readers take one value at the reader's place. They throw `json::JsonError` or
// `json::Unplaced` (vel/json.hpp), and `read_op` may stop the call.
Dim read_dim(json::Reader& in);
Atom read_atom(json::Reader& in);
LiteralValue read_literal(json::Reader& in);
TensorType read_tensor_type(json::Reader& in);
Op read_op(json::Reader& in);
Param read_param(json::Reader& in);
Function read_function(json::Reader& in);
Module read_module(json::Reader& in);

// The JSON interchange form of a module. Reading throws `JsonError` (vel/json.hpp) for a
// malformed document, and may stop the call for a few operation records.
std::string module_to_json(const Module& module);
Module module_from_json(std::string_view text);

}  // namespace vel
