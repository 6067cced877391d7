// A list that keeps up to N elements inside itself and takes a block only past them: the
// outputs, arguments and shapes of operations, which are nearly always short. It behaves as
// a std::vector of its elements does where the records use one; a copy copies them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "vel/block_pool.hpp"
#include "vel/stop.hpp"
#include "vel/text.hpp"

namespace vel {

template <class T, std::size_t N>
class SmallList {
  static_assert(N >= 1, "a small list keeps at least one element inside itself");
  static_assert(alignof(T) <= blocks::kAlignment);

 public:
  using value_type = T;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using reference = T&;
  using const_reference = const T&;
  using pointer = T*;
  using const_pointer = const T*;
  using iterator = T*;
  using const_iterator = const T*;

  SmallList() noexcept {}
  // Each delegates to the empty list first, so that an element whose copy throws leaves
  // a list that its destructor frees.
  SmallList(std::initializer_list<T> items) : SmallList() { append(items.begin(), items.end()); }
  template <class It, class = typename std::iterator_traits<It>::iterator_category>
  SmallList(It first, It last) : SmallList() {
    append(first, last);
  }
  SmallList(const SmallList& other) : SmallList() { append(other.begin(), other.end()); }
  SmallList(SmallList&& other) noexcept { take(other); }
  SmallList& operator=(const SmallList& other) {
    if (this != &other) {
      clear();
      append(other.begin(), other.end());
    }
    return *this;
  }
  SmallList& operator=(SmallList&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  SmallList& operator=(std::initializer_list<T> items) {
    clear();
    append(items.begin(), items.end());
    return *this;
  }
  ~SmallList() { release(); }

  T* data() noexcept { return is_inline() ? inline_items() : heap_; }
  const T* data() const noexcept { return is_inline() ? inline_items() : heap_; }
  size_type size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  size_type capacity() const noexcept { return cap_; }
  // Whether the elements take a block of their own.
  bool on_heap() const noexcept { return !is_inline(); }

  iterator begin() noexcept { return data(); }
  iterator end() noexcept { return data() + size_; }
  const_iterator begin() const noexcept { return data(); }
  const_iterator end() const noexcept { return data() + size_; }
  const_iterator cbegin() const noexcept { return begin(); }
  const_iterator cend() const noexcept { return end(); }
  auto rbegin() const noexcept { return std::make_reverse_iterator(end()); }
  auto rend() const noexcept { return std::make_reverse_iterator(begin()); }

  T& operator[](size_type i) noexcept { return data()[i]; }
  const T& operator[](size_type i) const noexcept { return data()[i]; }
  T& front() noexcept { return data()[0]; }
  const T& front() const noexcept { return data()[0]; }
  T& back() noexcept { return data()[size_ - 1]; }
  const T& back() const noexcept { return data()[size_ - 1]; }

  void reserve(size_type count) {
    if (count > cap_) grow_to(count);
  }
  void push_back(const T& value) { emplace_back(value); }
  void push_back(T&& value) { emplace_back(std::move(value)); }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == cap_) {
      // The value may be one of the elements, so it is made before they move.
      T value(std::forward<Args>(args)...);
      grow_to(static_cast<size_type>(cap_) * 2);
      return *::new (data() + size_++) T(std::move(value));
    }
    T* slot = ::new (data() + size_) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }
  void pop_back() noexcept { std::destroy_at(data() + --size_); }
  void clear() noexcept {
    std::destroy_n(data(), size_);
    size_ = 0;
  }
  void resize(size_type count) {
    reserve(count);
    while (size_ > count) pop_back();
    while (size_ < count) emplace_back();
  }
  // The range may be part of this list: it is copied before the list changes.
  template <class It>
  void assign(It first, It last) {
    *this = SmallList(first, last);
  }

  iterator insert(const_iterator at, T value) {
    const auto index = static_cast<size_type>(at - begin());
    emplace_back(std::move(value));
    std::rotate(begin() + index, end() - 1, end());
    return begin() + index;
  }
  iterator erase(const_iterator first, const_iterator last) {
    const auto from = static_cast<size_type>(first - begin());
    const auto count = static_cast<size_type>(last - first);
    std::move(begin() + from + count, end(), begin() + from);
    for (size_type k = 0; k < count; ++k) pop_back();
    return begin() + from;
  }
  iterator erase(const_iterator at) { return erase(at, at + 1); }

  friend bool operator==(const SmallList& a, const SmallList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  using Count = std::uint32_t;

  bool is_inline() const noexcept { return cap_ <= N; }
  T* inline_items() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_items() const noexcept {
    return std::launder(reinterpret_cast<const T*>(inline_));
  }

  template <class It>
  void append(It first, It last) {
    if constexpr (std::is_base_of_v<std::forward_iterator_tag,
                                    typename std::iterator_traits<It>::iterator_category>) {
      // The room is made first, so each element is made straight in its place.
      reserve(size_ + static_cast<size_type>(std::distance(first, last)));
      for (; first != last; ++first) {
        ::new (data() + size_) T(*first);
        ++size_;
      }
    } else {
      for (; first != last; ++first) emplace_back(*first);
    }
  }

  void grow_to(size_type want) {
    if (want > std::numeric_limits<Count>::max()) stop(list_too_long_message(want));
    want = std::max<size_type>(want, N + 1);
    T* block = static_cast<T*>(blocks::take(want * sizeof(T)));
    T* from = data();
    std::uninitialized_move_n(from, size_, block);
    std::destroy_n(from, size_);
    free_block();
    heap_ = block;
    cap_ = static_cast<Count>(want);
  }

  void free_block() noexcept {
    if (!is_inline()) blocks::give(heap_, cap_ * sizeof(T));
  }
  void release() noexcept {
    std::destroy_n(data(), size_);
    free_block();
    size_ = 0;
    cap_ = N;
  }
  // Takes the elements of `other`, which is left empty; this one holds nothing before.
  void take(SmallList& other) noexcept {
    if (other.is_inline()) {
      std::uninitialized_move_n(other.inline_items(), other.size_, inline_items());
      std::destroy_n(other.inline_items(), other.size_);
      size_ = other.size_;
    } else {
      heap_ = other.heap_;
      size_ = other.size_;
      cap_ = other.cap_;
      other.cap_ = N;
    }
    other.size_ = 0;
  }

  union {
    T* heap_;
    alignas(T) unsigned char inline_[N * sizeof(T)];
  };
  Count size_ = 0;
  Count cap_ = N;
};

}  // namespace vel
