// Name scopes of a flattening. While the entry is built, every function being inlined is a
// level: the entry at the bottom, then each call, loop iteration and cache slot's body in
// the one around it. A level owns what a name means there, and every read and write goes
// through it:
// - a read gives the value the name stands for: the latest value that the level's own
//   body wrote under it, else what the call binds it to (a parameter: the argument, read in
//   the caller; a field of a dict parameter: the field of the argument, read in the caller),
//   else the name itself where it is a configuration name or a symbolic dimension, else the
//   name under the level's prefix (a name nothing defines);
// - a write makes a new value and gives it the names that the rules of inlining give it:
//   the level's prefix and the name, or for the last write of a return, the name of the
//   output it stands for.
// Since reads give values and not texts, a value is never taken for another of the same
// text; which texts the values finally carry is decided once the whole function is built
// (flatten_naming.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "flat_program.hpp"
#include "flatten_plan.hpp"

namespace vel::flat {

// The two names a value may take, the first preferred (see `Value`).
struct Letters {
  NameId first = kNoName;
  NameId second = kNoName;
};

// A function being inlined at one place of the entry's expansion.
struct Level {
  enum class Kind : std::uint8_t { Entry, Call, Iteration, Slot };
  static constexpr std::uint32_t kNone = NameRef::kNone;

  const Plan* plan = nullptr;
  Kind kind = Kind::Entry;
  // The operation that inlines it, at `at` in the function of the level `caller`: a call, a
  // loop, or a cache operation.
  std::uint32_t caller = 0;
  std::uint32_t at = 0;
  const Op* op = nullptr;
  std::uint32_t next = 0;  // the next operation of its function

  // Its arguments: the operation's, after `shift` arguments of its own (an extend body's
  // first, the slot's incoming value); the one at `special` is `special_ref` (a loop's
  // threaded argument, or that incoming value).
  struct Arguments {
    std::uint32_t shift = 0;
    std::uint32_t special = kNone;
    Ref special_ref{};
    std::uint32_t given = 0;  // the arguments that bind one parameter each
    std::string digits{};     // an iteration's number, for starred arguments and cache vars
  } args{};

  // Its names, each made when first needed: a level that writes no name of its own makes
  // none.
  struct Naming {
    NameId prefix = kNoName;  // what its local names are put under
    // A slot body's output: the slot's name. An iteration's: the loop's output name with
    // the iteration's number, `number`, or for a last iteration that writes the caller's
    // return (`writes_return`), that output.
    Text output_text{};
    std::uint64_t number = 0;
    bool writes_return = false;
    bool output_made = false;
    Letters output{};
  } naming{};

  // A loop of its function running at `next`.
  struct Loop {
    std::uint64_t iteration = 0;
    Ref current{};
    std::vector<std::pair<Text, std::uint64_t>> numbers{};  // the last number of each name
  } loop{};

  // What it has found. A level's place on the stack is used again by later calls, so these
  // lists keep their room, and what is looked up is kept for this level's `stamp` only: a
  // call of a function of thousands of parameters costs only what its body reads.
  struct Known {
    std::vector<Ref> vals{};         // the value of each write of its function, once made
    std::vector<Ref> bound{};        // each parameter's binding, once looked up
    std::vector<NameId> bases{};     // each dict parameter's base, once looked up
    std::vector<Letters> outputs{};  // the names of each output, once looked up
    struct Seen {
      std::uint64_t stamp = 0;
      std::uint8_t what = 0;
    };
    std::vector<Seen> seen{};  // which of `bound`, `bases` and `outputs` are looked up
    std::uint64_t stamp = 0;
  } known{};

  const Function& fn() const { return *plan->fn; }
  const BodyNames& names() const { return plan->names; }
};

class Scopes {
 public:
  Scopes(FlatProgram& program, const KeptNames& kept) : program_(program), kept_(kept) {}

  std::uint32_t depth() const { return depth_; }
  Level& at(std::uint32_t level) { return levels_[level]; }
  Level& top() { return levels_[depth_ - 1]; }

  // A new level, bound to the operation at `at` of the level now on top; `bind` counts its
  // arguments once its own (`shift`, `special`) are set.
  Level& push(Level::Kind kind, const Plan& plan, const Op& op, std::uint32_t at);
  Level& push_entry(const Plan& plan);
  void bind(Level& level);
  void pop() { --depth_; }
  std::uint32_t top_index() const { return depth_ - 1; }

  // What the `k`-th argument of operation `op` of the top level stands for.
  Ref read_arg(std::size_t op, std::size_t k);
  // What the function of level `level` returns as its `j`-th return.
  Ref read_return(std::uint32_t level, std::size_t j);
  // What a name put together while building stands for at `level`, read by its operation
  // `op` (or after the last, for the end of the body).
  Ref read_text(std::uint32_t level, std::string_view name, std::uint32_t op);
  // The names of the value that write `slot` of the top level's function makes.
  Letters write(std::uint32_t slot) { return write_letters(top_index(), slot); }
  // Whether the loop at `op` of the top level writes, in its last iteration, the return of
  // the call around that it writes last.
  bool loop_writes_return(std::uint32_t op);
  // A text of the level's own, put under its prefix: `{prefix}.{piece}`.
  NameId local(std::uint32_t level, Text piece);
  // An iteration's output as its caller's text names it.
  Text iteration_text(const Level& level) const;

  // The innermost loop iteration around the top level within the body being built: a
  // slot's body starts afresh.
  const Level* innermost_iteration() const;

 private:
  // One step of a read: a name of a function's text, a name put together, or an argument of
  // a level's call, asked at a level.
  struct Ask {
    enum class Kind : std::uint8_t { Name, Text, Arg };
    Kind kind;
    std::uint32_t level;
    std::uint32_t op = 0;          // the reading operation (Name, Text)
    const NameRef* ref = nullptr;  // Name: what its function tells of it
    const Atom* atom = nullptr;    // Name: the argument read, which a kept name stays
    const Text* name = nullptr;    // Name: or a return's name
    std::string text{};            // Text
    std::uint32_t arg = 0;         // Arg

    static Ask name_of(std::uint32_t level, const NameRef* ref, const Atom* atom, const Text* name,
                       std::uint32_t op) {
      return Ask{Kind::Name, level, op, ref, atom, name};
    }
    static Ask text_of(std::uint32_t level, std::string text, std::uint32_t op) {
      return Ask{Kind::Text, level, op, nullptr, nullptr, nullptr, std::move(text)};
    }
    static Ask arg_of(std::uint32_t level, std::uint32_t k) {
      return Ask{Kind::Arg, level, 0, nullptr, nullptr, nullptr, {}, k};
    }
  };
  // What a step finds: the value, or nothing while the read goes on with the next ask.
  struct Step {
    Ref found{};
  };

  Ref read(Ask ask);
  Step step_name(Ask& ask);
  Step step_text(Ask& ask);
  Step step_arg(Ask& ask);
  std::optional<Step> bind(Ask& ask, std::uint32_t param);
  Ref kept(const Ask& ask);
  std::string_view name_text(const Ask& ask) const;
  NameId dict_base(std::uint32_t level, std::uint32_t param);
  NameId entry_name(const Level& level, std::uint32_t k);
  // The name a reference goes by as the rules of inlining give it, if any.
  NameId name_of_ref(Ref ref);
  bool dict_bound(const Level& level, std::uint32_t param) const;
  std::string arg_text(const Level& level, std::uint32_t k) const;
  const Atom* source_arg(const Level& level, std::uint32_t k) const;
  bool writes_output(const Level& level, const Slot& s) const;
  Letters write_letters(std::uint32_t level, std::uint32_t slot);
  Letters output_letters(std::uint32_t level, std::uint32_t j);
  Letters iteration_output(std::uint32_t level);
  NameId prefix_of(std::uint32_t level);
  std::uint32_t bound_outputs(const Level& level) const;
  Level& fresh_level();
  bool seen(Level& level, std::size_t i, std::uint8_t what);

  FlatProgram& program_;
  const KeptNames& kept_;
  std::vector<Level> levels_;  // the stack's places, of which the first `depth_` are taken
  std::uint32_t depth_ = 0;
  std::uint64_t stamps_ = 0;
  // The bindings a read in progress has passed, each to be the value it finds.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> memos_;
  struct WayStep {
    std::uint32_t level, ret;
    const Text* name;
  };
  std::vector<WayStep> way_;                             // of `write_letters`
  std::vector<std::uint32_t> unmade_;                    // of `prefix_of`
  std::unordered_map<const Atom*, NameId> entry_names_;  // of `entry_name`
};

}  // namespace vel::flat
