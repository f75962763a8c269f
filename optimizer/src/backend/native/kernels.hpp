// Vector kernels of the engine. Their order of operations, rounding, NaN
// handling and signed zeros are part of their contract: runs must repeat
// their iterates bit for bit. No kernel fuses a multiply-add except the tail
// of the compact dot product.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace compat_lbfgsb::backend::native {

// Machine epsilon from which every engine tolerance is derived.
inline constexpr double EPSMCH = 0x1p-52;

// Raise to l when below, then lower to u when above; NaN stays NaN and a value
// equal to a bound keeps its own sign of zero. Requires l <= u, neither NaN.
inline double clamp_to_bounds(double v, double l, double u) {
  double r = v < l ? l : v;
  return r > u ? u : r;
}

// a_i - b_i over the shorter length.
std::vector<double> difference(std::span<const double> a, std::span<const double> b);

// clamp(x_i + t*d_i, lower_i, upper_i), product and sum rounded separately,
// over the shortest of the four vectors.
std::vector<double> bounded_step(std::span<const double> x, std::span<const double> d,
                                 std::span<const double> lower, std::span<const double> upper, double t);

// clamp(x_i, lower_i, upper_i) over the shortest of the three vectors.
std::vector<double> project(std::span<const double> x, std::span<const double> lower,
                            std::span<const double> upper);

// compact false: one running sum from -0.0 over the shorter length, each
// product rounded. compact true: over |a| (b at least as long), from +0.0,
// the first n - n%4 products rounded and added, the rest fused onto the sum.
double compatibility_dot(bool compact, std::span<const double> a, std::span<const double> b);

// sqrt of the sum of rounded squares from -0.0 in index order (-0.0 if empty).
double norm2(std::span<const double> v);

// Largest magnitude ignoring NaN entries; 0.0 when there is none.
double norm_inf(std::span<const double> v);

// Variables fixed, or within 1e-12 of a finite bound (the bound +/- 1e-12
// rounded first). lower and upper hold at least |x| entries.
std::size_t active_count_with_activity(std::span<const double> x, std::span<const double> lower,
                                       std::span<const double> upper);

}  // namespace compat_lbfgsb::backend::native
