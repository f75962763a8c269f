// The boundary of a one-dimensional set, located by halving a bracket.
#pragma once

#include <cmath>

namespace kestrune::bisection {

// Locates the boundary between `inside` (where is_inside holds) and `outside`: halves the bracket
// at most 40 times, stopping once it is narrower than 1e-5, and returns its midpoint. The
// predicate is called at least once and may keep state of its own.
template <class IsInside>
double bisect(double inside, double outside, IsInside&& is_inside) {
  for (int step = 0; step < 40; ++step) {
    const double mid = (inside + outside) / 2.0;
    if (is_inside(mid)) {
      inside = mid;
    } else {
      outside = mid;
    }
    if (std::fabs(inside - outside) < 1e-5) break;
  }
  return (inside + outside) / 2.0;
}

}  // namespace kestrune::bisection
