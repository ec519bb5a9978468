// Text: an owned, immutable UTF-8 string in 16 bytes, for the names and parameter keys that every
// node carries and the tokens of stage members. Texts of up to 14 bytes live inline; longer ones in
// a heap block that copies share through an atomic count, so that copying a long text (a token
// that thousands of stage members repeat) allocates nothing. It exists because a store holds
// millions of keys and std::string costs 32 bytes for the same short names.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace tarnvel {

inline bool same_text(std::string_view a, std::string_view b) noexcept;  // below

class Text {
 public:
  Text() noexcept { clear_inline(); }
  Text(std::string_view text) { assign(text); }  // NOLINT: implicit, like std::string
  Text(const char* text) : Text(std::string_view(text)) {}
  Text(const Text& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    if (!is_inline()) heap_block()->count.fetch_add(1, std::memory_order_relaxed);
  }
  Text(Text&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.clear_inline();
  }
  Text& operator=(const Text& other) {
    if (this != &other) *this = Text(other);
    return *this;
  }
  Text& operator=(Text&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
      other.clear_inline();
    }
    return *this;
  }
  ~Text() { release(); }

  std::string_view view() const noexcept {
    if (is_inline()) return {bytes_, static_cast<std::size_t>(bytes_[kTag])};
    return {heap_data(), heap_size()};
  }
  operator std::string_view() const noexcept { return view(); }  // NOLINT
  std::string str() const { return std::string(view()); }
  std::size_t size() const noexcept { return view().size(); }
  bool empty() const noexcept { return size() == 0; }

  friend bool operator==(const Text& a, const Text& b) noexcept {
    return same_text(a.view(), b.view());
  }
  friend auto operator<=>(const Text& a, const Text& b) noexcept { return a.view() <=> b.view(); }
  template <class H>
  friend H AbslHashValue(H state, const Text& text) {
    return H::combine(std::move(state), text.view());
  }

 private:
  static constexpr std::size_t kTag = 15;  // inline: the size; heap: kHeap
  static constexpr char kHeap = static_cast<char>(0x80);
  // Heap form: bytes 0..7 hold a pointer to a block, a header and then the bytes; byte 15 is the
  // tag. The block goes with the last copy that holds it.
  struct HeapBlock {
    std::atomic<std::uint64_t> count;
    std::uint64_t size;
    char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
  };
  static_assert(sizeof(char*) < kTag, "heap form must leave the tag byte");

  bool is_inline() const noexcept { return bytes_[kTag] != kHeap; }
  void clear_inline() noexcept { std::memset(bytes_, 0, sizeof bytes_); }
  HeapBlock* heap_block() const noexcept {
    HeapBlock* block;
    std::memcpy(&block, bytes_, sizeof(HeapBlock*));
    return block;
  }
  const char* heap_data() const noexcept { return heap_block()->bytes(); }
  std::size_t heap_size() const noexcept { return static_cast<std::size_t>(heap_block()->size); }
  void assign(std::string_view text) {
    if (text.size() < kTag) {
      clear_inline();
      copy_short(bytes_, text.data(), text.size());
      bytes_[kTag] = static_cast<char>(text.size());
      return;
    }
    auto* block = new (::operator new(sizeof(HeapBlock) + text.size())) HeapBlock{1, text.size()};
    std::memcpy(block->bytes(), text.data(), text.size());
    clear_inline();
    std::memcpy(bytes_, &block, sizeof(HeapBlock*));
    bytes_[kTag] = kHeap;
  }
  // Copies n < 16 bytes with fixed-size moves that stay inside [0, n) of both sides (names are
  // short, and a call to memcpy would cost more than the copy).
  static void copy_short(char* to, const char* from, std::size_t n) noexcept {
    if (n >= 8) {
      std::memcpy(to, from, 8);
      std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
      std::memcpy(to, from, 4);
      std::memcpy(to + n - 4, from + n - 4, 4);
    } else if (n > 0) {
      to[0] = from[0];
      to[n / 2] = from[n / 2];
      to[n - 1] = from[n - 1];
    }
  }
  void release() noexcept {
    if (is_inline()) return;
    HeapBlock* block = heap_block();
    if (block->count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    block->~HeapBlock();
    ::operator delete(block);
  }

  char bytes_[16];
};

static_assert(sizeof(Text) == 16);

// Byte equality that compares short strings (the usual names and keys) without calling memcmp:
// two overlapping fixed-size loads per side, inside [0, n) of both.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  const auto load = [](const char* at, auto word) {
    std::memcpy(&word, at, sizeof word);
    return word;
  };
  if (n >= 8 && n <= 16) {
    return load(p, std::uint64_t{}) == load(q, std::uint64_t{}) &&
           load(p + n - 8, std::uint64_t{}) == load(q + n - 8, std::uint64_t{});
  }
  if (n >= 4 && n < 8) {
    return load(p, std::uint32_t{}) == load(q, std::uint32_t{}) &&
           load(p + n - 4, std::uint32_t{}) == load(q + n - 4, std::uint32_t{});
  }
  if (n < 4) return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
  return std::memcmp(p, q, n) == 0;
}

}  // namespace tarnvel
