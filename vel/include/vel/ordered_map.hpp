// A map from text keys to values that remembers the order in which keys were first stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vel/stop.hpp"

namespace vel {

template <class V>
class OrderedMap {
 public:
  using Entry = std::pair<std::string, V>;

  // One entry seen through a mutable iteration: the key can be read, the value changed.
  struct EntryRef {
    const std::string& first;
    V& second;
  };

  class Iterator {
   public:
    using Base = typename std::vector<Entry>::iterator;
    using difference_type = std::ptrdiff_t;
    using value_type = EntryRef;

    Iterator() = default;
    explicit Iterator(Base at) : at_(at) {}
    EntryRef operator*() const { return EntryRef{at_->first, at_->second}; }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++at_;
      return before;
    }
    bool operator==(const Iterator&) const = default;

   private:
    Base at_;
  };

  OrderedMap() = default;

  // Builds the map by storing the pairs one after the other, so a repeated key keeps its
  // first position and its last value.
  static OrderedMap from_pairs(std::vector<Entry> pairs) {
    OrderedMap map;
    for (auto& [key, value] : pairs) map.store(std::move(key), std::move(value));
    return map;
  }

  // Appends a new key; a key already present keeps its position and takes the new value.
  V& store(std::string key, V value) {
    if (V* found = find(key)) {
      *found = std::move(value);
      return *found;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    index_last();
    return entries_.back().second;
  }

  // Room for `count` entries in all, so that storing them moves none.
  void reserve(std::size_t count) { entries_.reserve(count); }

  const V* find(std::string_view key) const {
    if (slots_.empty()) {
      for (const auto& entry : entries_)
        if (entry.first == key) return &entry.second;
      return nullptr;
    }
    std::size_t mask = slots_.size() - 1;
    for (std::size_t s = hash(key) & mask;; s = (s + 1) & mask) {
      std::uint32_t slot = slots_[s];
      if (slot == 0) return nullptr;
      if (entries_[slot - 1].first == key) return &entries_[slot - 1].second;
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
  // Mutable iteration reaches the values only: a renamed key would leave the hash index
  // pointing at the old name.
  Iterator begin() { return Iterator(entries_.begin()); }
  Iterator end() { return Iterator(entries_.end()); }
  const std::vector<Entry>& entries() const { return entries_; }

  // Consumes the map, handing over its entries with their keys.
  std::vector<Entry> into_entries() && {
    slots_.clear();
    return std::move(entries_);
  }

  bool operator==(const OrderedMap& other) const { return entries_ == other.entries_; }

 private:
  // Small maps are searched in order; a hash index of entry positions is kept from this
  // size on.
  static constexpr std::size_t kIndexFrom = 16;

  static std::size_t hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

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
    std::size_t s = hash(entries_[entry].first) & mask;
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = static_cast<std::uint32_t>(entry + 1);
  }

  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;  // entry position + 1; 0 is a free slot
};

}  // namespace vel
