// A map from text keys to values that remembers the order in which keys were first stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "vel/hash.hpp"
#include "vel/shared_text.hpp"
#include "vel/stop.hpp"

namespace vel {

template <class V>
class OrderedMap;

// One stored entry of an OrderedMap. Its key is fixed once stored, since the map's hash index
// finds the entry by it; its value can change. Structured bindings see the two parts, so
// `auto& [key, value]` gives a const key and a changeable value, and `auto [key, value]` a
// copy of both.
template <class V>
class MapEntry {
 public:
  MapEntry(Text key, V value) : key_(std::move(key)), value_(std::move(value)) {}

  const Text& key() const { return key_; }
  V& value() { return value_; }
  const V& value() const { return value_; }

  template <std::size_t I>
  auto& get() & {
    if constexpr (I == 0)
      return std::as_const(key_);
    else
      return value_;
  }
  template <std::size_t I>
  const auto& get() const& {
    if constexpr (I == 0)
      return key_;
    else
      return value_;
  }
  template <std::size_t I>
  auto&& get() && {
    if constexpr (I == 0)
      return std::move(std::as_const(key_));
    else
      return std::move(value_);
  }
  template <std::size_t I>
  const auto&& get() const&& {
    if constexpr (I == 0)
      return std::move(key_);
    else
      return std::move(value_);
  }

  bool operator==(const MapEntry&) const = default;

 private:
  friend class OrderedMap<V>;  // hands the key over once the map is consumed

  Text key_;
  V value_;
};

}  // namespace vel

template <class V>
struct std::tuple_size<vel::MapEntry<V>> : std::integral_constant<std::size_t, 2> {};
template <class V>
struct std::tuple_element<0, vel::MapEntry<V>> {
  using type = const vel::Text;
};
template <class V>
struct std::tuple_element<1, vel::MapEntry<V>> {
  using type = V;
};

namespace vel {

template <class V>
class OrderedMap {
 public:
  using Entry = MapEntry<V>;
  // An entry outside a map, whose key is free to change.
  using Pair = std::pair<Text, V>;

  OrderedMap() = default;

  // Builds the map by storing the pairs one after the other, so a repeated key keeps its
  // first position and its last value.
  static OrderedMap from_pairs(std::vector<Pair> pairs) {
    return from_pairs<Text>(std::move(pairs));
  }
  template <class Key>
  static OrderedMap from_pairs(std::vector<std::pair<Key, V>> pairs) {
    OrderedMap map;
    for (auto& [key, value] : pairs) map.store(std::move(key), std::move(value));
    return map;
  }

  // Appends a new key; a key already present keeps its position and takes the new value.
  V& store(Text key, V value) {
    if (V* found = find(key)) {
      *found = std::move(value);
      return *found;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    index_last();
    return entries_.back().value();
  }

  // Room for `count` entries in all, so that storing them moves none.
  void reserve(std::size_t count) { entries_.reserve(count); }

  const V* find(std::string_view key) const {
    if (slots_.empty()) {
      for (const Entry& entry : entries_)
        if (entry.key() == key) return &entry.value();
      return nullptr;
    }
    std::size_t mask = slots_.size() - 1;
    for (std::size_t s = hash(key) & mask;; s = (s + 1) & mask) {
      std::uint32_t slot = slots_[s];
      if (slot == 0) return nullptr;
      const Entry& entry = entries_[slot - 1];
      if (entry.key() == key) return &entry.value();
    }
  }

  V* find(std::string_view key) {
    return const_cast<V*>(static_cast<const OrderedMap*>(this)->find(key));
  }

  // The value of a key that must be present; a missing key stops the call.
  const V& at(std::string_view key) const {
    if (const V* found = find(key)) return *found;
    stop(std::string(kNoEntry));
  }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  auto begin() { return entries_.begin(); }
  auto end() { return entries_.end(); }
  const std::vector<Entry>& entries() const { return entries_; }

  // Consumes the map, handing over its entries with their keys.
  std::vector<Pair> into_entries() && {
    std::vector<Pair> pairs;
    pairs.reserve(entries_.size());
    for (Entry& entry : entries_)
      pairs.emplace_back(std::move(entry.key_), std::move(entry.value_));
    entries_.clear();
    slots_.clear();
    return pairs;
  }

  bool operator==(const OrderedMap& other) const { return entries_ == other.entries_; }

 private:
  // Small maps are searched in order; a hash index of entry positions is kept from this
  // size on.
  static constexpr std::size_t kIndexFrom = 16;

  static std::size_t hash(std::string_view key) { return hash_text(key); }

  void index_last() {
    if (entries_.size() < kIndexFrom) return;
    if (slots_.size() < entries_.size() * 2) {
      rehash(entries_.size() * 4);
      return;
    }
    insert_slot(entries_.size() - 1);
  }

  void rehash(std::size_t want) {
    std::size_t size = 64;
    while (size < want) size *= 2;
    slots_.assign(size, 0);
    for (std::size_t i = 0; i < entries_.size(); ++i) insert_slot(i);
  }

  void insert_slot(std::size_t entry) {
    std::size_t mask = slots_.size() - 1;
    std::size_t s = hash(entries_[entry].key()) & mask;
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = static_cast<std::uint32_t>(entry + 1);
  }

  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;  // entry position + 1; 0 is a free slot
};

}  // namespace vel
