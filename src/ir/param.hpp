// Parameter values and maps: the scalar attributes of a node, part of its structural identity.
//
// Equality and hashing are structural: the alternative (Int, Float, Bool, Str) always counts, so
// Int 1, Float 1.0, Bool true and Str "1" are four values. Floats compare by bit pattern after
// every NaN is replaced by the canonical 0x7FF8000000000000, so all NaNs are equal while 0.0 !=
// -0.0. The stored bits are kept as given (a NaN payload survives a round trip through the blob).
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "absl/container/inlined_vector.h"
#include "ir/text.hpp"

namespace tarnvel {

struct ParamView;

class ParamValue {
 public:
  // Tag order is part of the blob format and of the hash.
  enum class Tag : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

  static ParamValue of_int(std::int64_t v) { return ParamValue(std::in_place_index<0>, v); }
  static ParamValue of_float(double v) { return ParamValue(std::in_place_index<1>, v); }
  static ParamValue of_bool(bool v) { return ParamValue(std::in_place_index<2>, v); }
  static ParamValue of_str(std::string_view v) { return ParamValue(std::in_place_index<3>, v); }
  // An owned copy of the value a view holds, and a view of this value under `key`.
  static ParamValue of_view(const ParamView& view);
  ParamView view(std::string_view key) const noexcept;

  Tag tag() const noexcept { return static_cast<Tag>(value_.index()); }
  std::int64_t as_int() const { return std::get<0>(value_); }
  double as_float() const { return std::get<1>(value_); }
  bool as_bool() const { return std::get<2>(value_); }
  std::string_view as_str() const { return std::get<3>(value_).view(); }

  // Machine form: "i-5", "f3ff0000000000000", "btrue", "s" + escaped text.
  std::string token() const;
  // Display form: 1, 0.5, -0, NaN, true, "quoted\n".
  std::string display() const;

  friend bool operator==(const ParamValue& a, const ParamValue& b) noexcept;

  // The bits equality and tokens use: any NaN becomes 0x7FF8000000000000.
  static std::uint64_t canonical_float_bits(double v) noexcept;

 private:
  using Storage = std::variant<std::int64_t, double, bool, Text>;
  // Builds the alternative in place: values are made once and moved rarely.
  template <std::size_t I, class Arg>
  ParamValue(std::in_place_index_t<I> index, Arg&& arg) : value_(index, std::forward<Arg>(arg)) {}
  Storage value_;
};

struct Param {
  Param(Text k, ParamValue v) noexcept : key(std::move(k)), value(std::move(v)) {}
  explicit Param(const ParamView& view);  // an owned copy
  Text key;
  ParamValue value;
  friend bool operator==(const Param&, const Param&) = default;
  ParamView view() const noexcept;  // defined below ParamView
};

// A parameter read but not copied: `key` and a Str value borrow bytes that must outlive the view.
// Equality is the values' equality (see above), so a view and the Param it was taken from agree.
struct ParamView {
  std::string_view key;
  ParamValue::Tag tag;
  std::uint64_t bits;    // Int: the value; Float: the bits as given; Bool: 0 or 1; Str: 0
  std::string_view str;  // Str only

  static ParamView of_int(std::string_view key, std::int64_t v) {
    return {key, ParamValue::Tag::Int, static_cast<std::uint64_t>(v), {}};
  }
  static ParamView of_float(std::string_view key, double v) {
    return {key, ParamValue::Tag::Float, std::bit_cast<std::uint64_t>(v), {}};
  }
  static ParamView of_bool(std::string_view key, bool v) {
    return {key, ParamValue::Tag::Bool, v, {}};
  }
  static ParamView of_str(std::string_view key, std::string_view v) {
    return {key, ParamValue::Tag::Str, 0, v};
  }
  // The bits that equality and hashing use: a Float's NaNs are all one value.
  std::uint64_t canonical_bits() const noexcept {
    return tag == ParamValue::Tag::Float
               ? ParamValue::canonical_float_bits(std::bit_cast<double>(bits))
               : bits;
  }
  friend bool operator==(const ParamView& a, const ParamView& b) noexcept {
    return a.tag == b.tag && a.canonical_bits() == b.canonical_bits() && same_text(a.key, b.key) &&
           same_text(a.str, b.str);
  }
};

inline ParamView ParamValue::view(std::string_view key) const noexcept {
  switch (tag()) {
    case Tag::Int: return ParamView::of_int(key, *std::get_if<0>(&value_));
    case Tag::Float: return ParamView::of_float(key, *std::get_if<1>(&value_));
    case Tag::Bool: return ParamView::of_bool(key, *std::get_if<2>(&value_));
    case Tag::Str: return ParamView::of_str(key, std::get_if<3>(&value_)->view());
  }
  return ParamView::of_int(key, 0);
}

inline ParamView Param::view() const noexcept { return value.view(key); }

// Sorts parameters (Params or ParamViews) stably by key bytes: the one order every map keeps.
template <class Params>
void sort_by_key(Params& params) {
  if (params.size() < 2) return;
  const auto less = [](const auto& a, const auto& b) {
    return std::string_view(a.key) < std::string_view(b.key);
  };
  // Maps are short: a stable insertion sort in place avoids stable_sort's temporary buffer.
  if (params.size() > 16) {
    std::stable_sort(params.begin(), params.end(), less);
    return;
  }
  for (std::size_t i = 1; i < params.size(); ++i) {
    for (std::size_t j = i; j > 0 && less(params[j], params[j - 1]); --j) {
      std::swap(params[j], params[j - 1]);
    }
  }
}

// A list of (key, value) pairs, stably sorted by key bytes on construction and never unsorted.
// Keys are not deduplicated: equal keys stay, in the order given.
class ParamMap {
 public:
  using Pairs = absl::InlinedVector<Param, 1>;

  ParamMap() = default;
  explicit ParamMap(Pairs&& pairs);                     // sorts
  explicit ParamMap(std::span<const ParamView> views);  // copies, sorts

  bool empty() const noexcept { return pairs_.empty(); }
  std::size_t size() const noexcept { return pairs_.size(); }
  auto begin() const noexcept { return pairs_.begin(); }
  auto end() const noexcept { return pairs_.end(); }
  const Param& operator[](std::size_t i) const { return pairs_[i]; }

  // key=value pairs joined by ";", keys escaped; empty for the empty map.
  std::string token() const;
  // "{k=2, s=\"x\"}"; "{}" for the empty map.
  std::string display() const;

  friend bool operator==(const ParamMap&, const ParamMap&) = default;

 private:
  Pairs pairs_;
};

}  // namespace tarnvel
