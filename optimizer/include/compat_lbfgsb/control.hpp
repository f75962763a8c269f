// Run controls of the optimizer, their defaults and their validation.
#pragma once

#include <cstddef>
#include <expected>
#include <vector>

#include "compat_lbfgsb/error.hpp"

namespace compat_lbfgsb::control {

// A plain record: models start from default_for_dimension and overwrite what
// they tune. maxit, trace and REPORT are never validated.
struct OptimControl {
  std::vector<double> parscale;  // engine works on x / parscale
  std::vector<double> ndeps;     // finite-difference steps, internal scale
  std::size_t maxit = 100;
  double fnscale = 1.0;  // engine minimises f / fnscale; negative maximises
  double factr = 1e7;    // relative-reduction tolerance is factr * 2^-52
  double pgtol = 0.0;
  std::size_t lmm = 5;
  std::size_t trace = 0;
  std::size_t REPORT = 10;

  // n entries of 1.0 in parscale and 1e-3 in ndeps; scalars at their defaults.
  static OptimControl default_for_dimension(std::size_t n);

  // The first failing test decides: lengths, fnscale, factr, pgtol, lmm,
  // then every parscale entry, then every ndeps entry.
  std::expected<void, OptimError> validate_for_dimension(std::size_t n) const;
};

}  // namespace compat_lbfgsb::control

namespace compat_lbfgsb {
using control::OptimControl;
}  // namespace compat_lbfgsb
