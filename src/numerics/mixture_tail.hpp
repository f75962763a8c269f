// The upper tail of a weighted sum of independent chi-squares on one degree of freedom.
#pragma once

#include <span>
#include <string_view>

#include "error.hpp"

namespace kestrune::mixture_tail {

inline constexpr std::string_view not_finite = "MIXTURE_TAIL_NOT_FINITE";
inline constexpr std::string_view weight_negative = "MIXTURE_TAIL_WEIGHT_NEGATIVE";

struct TailResult {
  double probability;       // P(Q > q), in [0, 1]
  std::string_view method;  // the recipe that answered
  // Inversion only: the last band's share of the probability (+infinity when the
  // probability is 0); 0 for the exact recipes.
  double settled_to;
  // Inversion only: settled_to < 0.001 and probability > 1e-11; true for the others.
  bool trustworthy;
};

// P(w_1 X_1 + ... + w_n X_n > q) for nonnegative finite weights. Takes the cheapest exact
// recipe that applies ("degenerate", "below_support", "exact_single_weight",
// "exact_equal_weights"), otherwise inverts the characteristic function band by band
// between the zeros of the integrand ("gil_pelaez_inversion"). Weights not above 1e-12 of
// the largest are dropped.
Result<TailResult> weighted_chi2_upper_tail(std::span<const double> weights, double q);

// The integral of the inversion integrand over the panel [a, b], by 20-point
// Gauss-Legendre.
double gauss_panel(std::span<const double> weights, double a, double b, double q);

// The integral over the band [a, b] in panels whose widths double from a, the finest
// no wider than h0 allows; as many doublings as the band's width needs.
double graded_band(std::span<const double> weights, double a, double b, double q, double h0);

}  // namespace kestrune::mixture_tail
