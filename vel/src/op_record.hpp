// The flat operation record of the JSON form, made from the kinds' shapes: one member for
// the kind, one for each name that any kind gives a member (once however many kinds share
// it), then the members that every operation has. The array form reads them by position.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>

#include "vel/ast.hpp"

namespace vel::op_record {

// The kinds' members in the array form's positions: these names first, in this order, then
// any other member in the order the kinds name it. Changing the order moves the positions
// that array records in use depend on.
inline constexpr std::string_view kLeadingNames[] = {
    "pattern", "function", "reduction", "axes", "value", "lower",
    "upper",   "target",   "count",     "var",  "init",  "extend",
};

// Where a kind declares a member: the kind's position and the member's within its shape.
struct MemberRef {
  std::string_view name;
  std::size_t kind = 0;
  std::size_t member = 0;
};

template <std::size_t K>
using KindAt = std::variant_alternative_t<K, OpKind::Variant>;

template <class Kind>
inline constexpr std::size_t kShapeSize = std::tuple_size_v<decltype(Kind::shape())>;

template <std::size_t... K>
constexpr std::size_t declared_count(std::index_sequence<K...>) {
  return (kShapeSize<KindAt<K>> + ... + 0);
}
inline constexpr std::size_t kDeclaredCount =
    declared_count(std::make_index_sequence<kKindCount>{});

template <std::size_t K, std::size_t... M>
constexpr void declare(MemberRef* refs, std::size_t& n, std::index_sequence<M...>) {
  ((refs[n++] = MemberRef{std::get<M>(KindAt<K>::shape()).name, K, M}), ...);
}
template <std::size_t... K>
constexpr std::array<MemberRef, kDeclaredCount> declare_all(std::index_sequence<K...>) {
  std::array<MemberRef, kDeclaredCount> refs{};
  std::size_t n = 0;
  (declare<K>(refs.data(), n, std::make_index_sequence<kShapeSize<KindAt<K>>>{}), ...);
  return refs;
}

// Every member of every kind, kinds in their declared order.
inline constexpr auto kDeclared = declare_all(std::make_index_sequence<kKindCount>{});

constexpr bool declared(std::string_view name) {
  for (const MemberRef& ref : kDeclared)
    if (ref.name == name) return true;
  return false;
}

constexpr bool leading(std::string_view name) {
  for (std::string_view lead : kLeadingNames)
    if (lead == name) return true;
  return false;
}

// The first declaration of each name, in the record's order.
constexpr std::size_t collect(MemberRef* out) {
  std::size_t n = 0;
  auto add = [&](const MemberRef& ref) {
    for (std::size_t i = 0; i < n; ++i)
      if (out[i].name == ref.name) return;
    out[n++] = ref;
  };
  for (std::string_view lead : kLeadingNames)
    for (const MemberRef& ref : kDeclared)
      if (ref.name == lead) {
        add(ref);
        break;
      }
  for (const MemberRef& ref : kDeclared)
    if (!leading(ref.name)) add(ref);
  return n;
}

inline constexpr std::size_t kKindMembers = [] {
  std::array<MemberRef, kDeclaredCount> refs{};
  return collect(refs.data());
}();

inline constexpr auto kKindSlots = [] {
  std::array<MemberRef, kDeclaredCount> refs{};
  collect(refs.data());
  std::array<MemberRef, kKindMembers> slots{};
  for (std::size_t i = 0; i < kKindMembers; ++i) slots[i] = refs[i];
  return slots;
}();

static_assert(
    [] {
      for (std::string_view lead : kLeadingNames)
        if (!declared(lead)) return false;
      return true;
    }(),
    "a leading name that no kind declares");

// The slot of the member named `name`.
constexpr std::size_t slot_of(std::string_view name) {
  for (std::size_t i = 0; i < kKindMembers; ++i)
    if (kKindSlots[i].name == name) return i;
  return kKindMembers;
}

// The type of the slot: that of its first declaration, which every other must share.
template <std::size_t I>
using SlotType = typename std::tuple_element_t<kKindSlots[I].member,
                                               decltype(KindAt<kKindSlots[I].kind>::shape())>::Type;

// The members that every operation has, after those of the kinds.
struct OwnMember {
  std::string_view name;
  bool required;
};
inline constexpr OwnMember kOwnMembers[] = {
    {"outputs", true}, {"output_types", true}, {"args", true}, {"comments", false}};
enum class Own : std::uint8_t { Outputs, OutputTypes, Args, Comments };

inline constexpr std::size_t kFirstOwn = 1 + kKindMembers;
inline constexpr std::size_t kMemberCount = kFirstOwn + std::size(kOwnMembers);
static_assert(kMemberCount <= 32, "a record's required members are kept in 32 bits");

inline constexpr auto kNames = [] {
  std::array<std::string_view, kMemberCount> names{};
  names[0] = "kind";
  for (std::size_t i = 0; i < kKindMembers; ++i) names[1 + i] = kKindSlots[i].name;
  for (std::size_t i = 0; i < std::size(kOwnMembers); ++i)
    names[kFirstOwn + i] = kOwnMembers[i].name;
  return names;
}();

// The kind and the operation's own required members; a kind's required members are
// looked for once the kind is known.
inline constexpr std::uint32_t kRequired = [] {
  std::uint32_t mask = 1;
  for (std::size_t i = 0; i < std::size(kOwnMembers); ++i)
    if (kOwnMembers[i].required) mask |= std::uint32_t{1} << (kFirstOwn + i);
  return mask;
}();

}  // namespace vel::op_record
