// wiping_allocator.h — a std::vector allocator that wipes every block it
// gives back, for buffers that hold key material or a PIN.
//
// A plain std::vector leaves its old contents in freed memory each time it
// grows (the old block is freed after the copy), is moved over or assigned
// to, and when it is destroyed. With this allocator each of those frees
// wipes the block first, with OPENSSL_cleanse, which the optimiser keeps.
// Header-only, so that the token libraries, which share no code with obkey
// but this common layer, use it without linking obkey's primitives.
#ifndef OBKEY_COMMON_WIPING_ALLOCATOR_H
#define OBKEY_COMMON_WIPING_ALLOCATOR_H

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace obkey {

template <typename T>
struct WipingAllocator {
  using value_type = T;
  // Every instance frees every other's blocks, so vectors move their
  // buffers instead of copying them, and move assignment frees (and wipes)
  // the buffer it replaces.
  using is_always_equal = std::true_type;
  using propagate_on_container_move_assignment = std::true_type;

  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U> &) noexcept {}

  T *allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T *>(::operator new(n * sizeof(T)));
  }
  void deallocate(T *p, size_t n) noexcept {
    if (p == nullptr) return;
    OPENSSL_cleanse(p, n * sizeof(T));
    ::operator delete(p);
  }

  template <typename U>
  bool operator==(const WipingAllocator<U> &) const noexcept {
    return true;
  }
  template <typename U>
  bool operator!=(const WipingAllocator<U> &) const noexcept {
    return false;
  }
};

// SecretBytes holds key material or a PIN; every block it frees is wiped.
using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

// SecretString holds a PIN typed as text. Its short-string buffer lives in
// the object itself, which no allocator frees: give it room on the heap
// (reserve) before it takes a secret.
using SecretString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

}  // namespace obkey

#endif  // OBKEY_COMMON_WIPING_ALLOCATOR_H
