// Compiler builtins that the hot paths use, behind names that compile with any compiler. Where a
// builtin is missing, the fallback computes the same result, or, for a mere hint, does nothing.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>

namespace tarnvel {

// Asks for the cache line holding `address` to be loaded, ahead of a read. A hint: it never
// faults and changes no result.
inline void prefetch_cache_line(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  static_cast<void>(address);
#endif
}

// The full 128-bit product of two 64-bit words.
struct WideProduct {
  std::uint64_t high;
  std::uint64_t low;
  friend constexpr bool operator==(const WideProduct&, const WideProduct&) = default;
};

// The product from four 32-bit partial products, for compilers without a 128-bit integer.
constexpr WideProduct multiply_wide_portable(std::uint64_t a, std::uint64_t b) noexcept {
  constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;
  const std::uint64_t low_low = (a & kLow32) * (b & kLow32);
  const std::uint64_t high_low = (a >> 32) * (b & kLow32);
  const std::uint64_t low_high = (a & kLow32) * (b >> 32);
  const std::uint64_t high_high = (a >> 32) * (b >> 32);
  // At most (2^32 - 1) + (2^32 - 1) + (2^32 - 1)^2 = 2^64 - 1: the sum cannot wrap.
  const std::uint64_t middle = (low_low >> 32) + (high_low & kLow32) + low_high;
  return {high_high + (high_low >> 32) + (middle >> 32), middle << 32 | (low_low & kLow32)};
}

constexpr WideProduct multiply_wide(std::uint64_t a, std::uint64_t b) noexcept {
#ifdef __SIZEOF_INT128__
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
#else
  return multiply_wide_portable(a, b);
#endif
}

// Readings of the operating system's clocks, each the time since an arbitrary origin.
inline std::chrono::nanoseconds duration_of(const timespec& time) noexcept {
  return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}
inline std::chrono::nanoseconds read_clock(clockid_t clock) noexcept {
  timespec now{};
  clock_gettime(clock, &now);
  return duration_of(now);
}
// The CPU time the calling thread has used: it does not run while the thread waits for a core.
// On Linux this is a system call.
inline std::chrono::nanoseconds thread_cpu_time() noexcept {
  return read_clock(CLOCK_THREAD_CPUTIME_ID);
}
// Monotonic wall time. On Linux a read of memory the kernel shares with the process (the vDSO),
// with no system call.
inline std::chrono::nanoseconds monotonic_time() noexcept { return read_clock(CLOCK_MONOTONIC); }
// Monotonic wall time as of the kernel's last timer tick, so behind by less than
// coarse_monotonic_resolution(): on Linux a few loads from the vDSO page, without reading a
// hardware clock. Where the system has no such clock it is the precise one, with resolution 0.
#ifdef CLOCK_MONOTONIC_COARSE
inline std::chrono::nanoseconds coarse_monotonic_time() noexcept {
  return read_clock(CLOCK_MONOTONIC_COARSE);
}
inline std::chrono::nanoseconds coarse_monotonic_resolution() noexcept {
  timespec resolution{};
  clock_getres(CLOCK_MONOTONIC_COARSE, &resolution);
  return duration_of(resolution);
}
#else
inline std::chrono::nanoseconds coarse_monotonic_time() noexcept { return monotonic_time(); }
inline std::chrono::nanoseconds coarse_monotonic_resolution() noexcept {
  return std::chrono::nanoseconds(0);
}
#endif

}  // namespace tarnvel

// Thread-local storage read on every locked operation: initial-exec makes each read a plain load
// instead of a __tls_get_addr call, even in a dlopen-ed module. Keep such variables to a few words,
// which fits the static TLS surplus that dlopen-ed modules may use.
#if defined(__GNUC__) || defined(__clang__)
#define TARNVEL_TLS_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
#else
#define TARNVEL_TLS_INITIAL_EXEC
#endif
