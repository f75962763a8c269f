// What is known of one observation of a trait that may stop at a limit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"

namespace kestrune::tobit {

enum class Censoring : std::uint8_t {
  Measured = 0,   // the value itself
  AtOrAbove = 1,  // it lies at or above its limit
  AtOrBelow = 2,  // it lies at or below its limit
};

// Codes 0, 1 and 2 in order; anything else (a negative code included) stops the conversion
// with "TOBIT_CENSORING_CODE_UNKNOWN".
Result<std::vector<Censoring>> censoring_from(std::span<const std::int64_t> codes);

// The share of observations that are not measured.
double censored_share(std::span<const Censoring> censoring);

}  // namespace kestrune::tobit
