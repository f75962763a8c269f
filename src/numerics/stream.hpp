// The one random generator: SplitMix64 over a 64-bit state, with uniform and standard
// normal draws. Bootstraps and simulators create one per call from the caller's seed, so
// the same arguments always give the same draws.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>

namespace kestrune::stream {

class Stream {
 public:
  // The state is the seed itself; no scrambling.
  explicit Stream(std::uint64_t seed) : state_(seed) {}

  // The published SplitMix64 step; the state wraps modulo 2^64.
  std::uint64_t next() {
    state_ += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // The 53 high bits of one output, centred in their cell: at least 2^-54, so ln u is
  // always finite (the very top cell rounds to 1.0).
  double uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53; }

  // Box-Muller from two consecutive uniforms, radius first; the sine companion is dropped.
  double normal() {
    const double u1 = uniform();
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
  }

  std::uint64_t state() const { return state_; }

 private:
  std::uint64_t state_;
};

}  // namespace kestrune::stream
