// Box constraints of a run: one lower and one upper bound per parameter,
// -inf / +inf for an absent side.
#pragma once

#include <cstddef>
#include <expected>
#include <vector>

#include "compat_lbfgsb/error.hpp"

namespace compat_lbfgsb::bounds {

// After a successful validate: equal lengths, no NaN, lower[i] <= upper[i].
// lower[i] == upper[i] fixes parameter i. Copies share nothing.
struct Bounds {
  std::vector<double> lower;
  std::vector<double> upper;

  // Takes both vectors over and validates them.
  static std::expected<Bounds, OptimError> create(std::vector<double> lower, std::vector<double> upper);

  // DimensionMismatch on unequal lengths; InvalidBounds at the first index
  // holding a NaN (tested first) or a crossed pair.
  std::expected<void, OptimError> validate() const;

  // validate, then the length of lower against n.
  std::expected<void, OptimError> validate_for_dimension(std::size_t n) const;
};

}  // namespace compat_lbfgsb::bounds

namespace compat_lbfgsb {
using bounds::Bounds;
}  // namespace compat_lbfgsb
