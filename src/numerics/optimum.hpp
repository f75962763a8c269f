// Whether one maximised log-likelihood beats another beyond what the fits' own tolerances
// leave between two searches that met the same maximum.
//
// A likelihood-ratio test whose null (a point of the full model's space) ends above the full
// fit has found that the full search missed its maximum; the test refits the full model from
// the null's end point and, when the null still wins, reports it rather than a statistic of 0.
#pragma once

#include <cmath>

namespace kestrune::optimum {

// candidate - reference > (|reference| + 1) * 1e-10.
inline bool beats(double candidate, double reference) {
  return candidate - reference > (std::fabs(reference) + 1.0) * 1e-10;
}

}  // namespace kestrune::optimum
