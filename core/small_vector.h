// A vector that keeps its first N elements inside itself.
//
// The lists of an operation (outputs, their types, arguments) and the shape
// of a type hold one to four elements almost always; keeping those in place
// saves several heap allocations per statement. The interface is the part of
// std::vector that the toolkit uses, with the same meaning.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarvel {

template <class T, std::size_t N>
class SmallVector {
  static_assert(N > 0, "use std::vector for lists without inline room");

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
  using reverse_iterator = std::reverse_iterator<iterator>;
  using const_reverse_iterator = std::reverse_iterator<const_iterator>;

  SmallVector() noexcept = default;
  explicit SmallVector(size_type n) { resize(n); }
  SmallVector(size_type n, const T& value) { assign(n, value); }
  SmallVector(std::initializer_list<T> items) { assign(items.begin(), items.end()); }
  template <class It, class = typename std::iterator_traits<It>::iterator_category>
  SmallVector(It first, It last) {
    assign(first, last);
  }
  SmallVector(const std::vector<T>& items) { assign(items.begin(), items.end()); }

  SmallVector(const SmallVector& other) { assign(other.begin(), other.end()); }
  SmallVector(SmallVector&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    take(std::move(other));
  }
  ~SmallVector() { release(); }

  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  SmallVector& operator=(SmallVector&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    if (this != &other) {
      release();
      take(std::move(other));
    }
    return *this;
  }
  SmallVector& operator=(std::initializer_list<T> items) {
    assign(items.begin(), items.end());
    return *this;
  }

  template <class It, class = typename std::iterator_traits<It>::iterator_category>
  void assign(It first, It last) {
    clear();
    if constexpr (std::is_base_of_v<std::forward_iterator_tag,
                                    typename std::iterator_traits<It>::iterator_category>)
      reserve(static_cast<size_type>(std::distance(first, last)));
    for (; first != last; ++first) emplace_back(*first);
  }
  void assign(size_type n, const T& value) {
    clear();
    reserve(n);
    for (size_type i = 0; i < n; ++i) emplace_back(value);
  }

  size_type size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  size_type capacity() const noexcept { return capacity_; }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  iterator begin() noexcept { return data_; }
  iterator end() noexcept { return data_ + size_; }
  const_iterator begin() const noexcept { return data_; }
  const_iterator end() const noexcept { return data_ + size_; }
  const_iterator cbegin() const noexcept { return data_; }
  const_iterator cend() const noexcept { return data_ + size_; }
  reverse_iterator rbegin() noexcept { return reverse_iterator(end()); }
  reverse_iterator rend() noexcept { return reverse_iterator(begin()); }
  const_reverse_iterator rbegin() const noexcept { return const_reverse_iterator(end()); }
  const_reverse_iterator rend() const noexcept { return const_reverse_iterator(begin()); }

  T& operator[](size_type i) noexcept { return data_[i]; }
  const T& operator[](size_type i) const noexcept { return data_[i]; }
  T& front() noexcept { return data_[0]; }
  const T& front() const noexcept { return data_[0]; }
  T& back() noexcept { return data_[size_ - 1]; }
  const T& back() const noexcept { return data_[size_ - 1]; }

  void reserve(size_type n) {
    if (n > capacity_) grow_to(n);
  }

  void clear() noexcept {
    std::destroy(data_, data_ + size_);
    size_ = 0;
  }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) {
      // Construct first: the arguments may refer to an element of this vector.
      T value(std::forward<Args>(args)...);
      grow_to(capacity_ * 2);
      ::new (static_cast<void*>(data_ + size_)) T(std::move(value));
    } else {
      ::new (static_cast<void*>(data_ + size_)) T(std::forward<Args>(args)...);
    }
    return data_[size_++];
  }
  void push_back(const T& value) { emplace_back(value); }
  void push_back(T&& value) { emplace_back(std::move(value)); }
  void pop_back() noexcept { std::destroy_at(data_ + --size_); }

  void resize(size_type n) {
    if (n < size_) {
      std::destroy(data_ + n, data_ + size_);
      size_ = n;
      return;
    }
    reserve(n);
    while (size_ < n) emplace_back();
  }
  void resize(size_type n, const T& value) {
    if (n < size_) {
      std::destroy(data_ + n, data_ + size_);
      size_ = n;
      return;
    }
    reserve(n);
    while (size_ < n) emplace_back(value);
  }

  iterator insert(const_iterator pos, T value) {
    const size_type at = static_cast<size_type>(pos - data_);
    emplace_back(std::move(value));
    std::rotate(data_ + at, data_ + size_ - 1, data_ + size_);
    return data_ + at;
  }
  template <class It, class = typename std::iterator_traits<It>::iterator_category>
  iterator insert(const_iterator pos, It first, It last) {
    const size_type at = static_cast<size_type>(pos - data_);
    const size_type before = size_;
    for (; first != last; ++first) emplace_back(*first);
    std::rotate(data_ + at, data_ + before, data_ + size_);
    return data_ + at;
  }
  iterator erase(const_iterator pos) { return erase(pos, pos + 1); }
  iterator erase(const_iterator first, const_iterator last) {
    T* from = data_ + (first - data_);
    T* to = data_ + (last - data_);
    T* new_end = std::move(to, end(), from);
    std::destroy(new_end, end());
    size_ = static_cast<size_type>(new_end - data_);
    return from;
  }

  void swap(SmallVector& other) {
    SmallVector tmp(std::move(other));
    other = std::move(*this);
    *this = std::move(tmp);
  }

  friend bool operator==(const SmallVector& a, const SmallVector& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  T* inline_data() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
  bool on_heap() const noexcept {
    return data_ != std::launder(reinterpret_cast<const T*>(inline_));
  }

  void grow_to(size_type n) {
    // Never fewer than N + 1 elements: the heap block is always larger than
    // the inline room (which also tells the optimiser that it is not empty).
    n = std::max({n, capacity_ * 2, N + 1});
    T* fresh = std::allocator<T>{}.allocate(n);
    std::uninitialized_move(data_, data_ + size_, fresh);
    std::destroy(data_, data_ + size_);
    if (on_heap()) std::allocator<T>{}.deallocate(data_, capacity_);
    data_ = fresh;
    capacity_ = n;
  }

  void release() noexcept {
    std::destroy(data_, data_ + size_);
    if (on_heap()) std::allocator<T>{}.deallocate(data_, capacity_);
    data_ = inline_data();
    size_ = 0;
    capacity_ = N;
  }

  // Leaves `other` empty; `*this` must be empty and in place.
  void take(SmallVector&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    if (other.on_heap()) {
      data_ = other.data_;
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.data_ = other.inline_data();
      other.size_ = 0;
      other.capacity_ = N;
      return;
    }
    std::uninitialized_move(other.begin(), other.end(), data_);
    size_ = other.size_;
    other.clear();
  }

  T* data_ = inline_data();
  size_type size_ = 0;
  size_type capacity_ = N;
  alignas(T) unsigned char inline_[sizeof(T) * N];
};

}  // namespace quarvel
