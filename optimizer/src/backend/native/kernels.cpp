#include "backend/native/kernels.hpp"

#include <algorithm>
#include <cmath>

namespace compat_lbfgsb::backend::native {

std::vector<double> difference(std::span<const double> a, std::span<const double> b) {
  const std::size_t n = std::min(a.size(), b.size());
  std::vector<double> r(n);
  for (std::size_t i = 0; i < n; ++i) r[i] = a[i] - b[i];
  return r;
}

std::vector<double> bounded_step(std::span<const double> x, std::span<const double> d,
                                 std::span<const double> lower, std::span<const double> upper, double t) {
  const std::size_t n = std::min({x.size(), d.size(), lower.size(), upper.size()});
  std::vector<double> r(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double p = t * d[i];
    const double v = x[i] + p;
    r[i] = clamp_to_bounds(v, lower[i], upper[i]);
  }
  return r;
}

std::vector<double> project(std::span<const double> x, std::span<const double> lower,
                            std::span<const double> upper) {
  const std::size_t n = std::min({x.size(), lower.size(), upper.size()});
  std::vector<double> r(n);
  for (std::size_t i = 0; i < n; ++i) r[i] = clamp_to_bounds(x[i], lower[i], upper[i]);
  return r;
}

double compatibility_dot(bool compact, std::span<const double> a, std::span<const double> b) {
  if (!compact) {
    const std::size_t n = std::min(a.size(), b.size());
    double sum = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double p = a[i] * b[i];
      sum += p;
    }
    return sum;
  }
  // The compact path sums blocks of four with rounded products and fuses the
  // remainder, so that its iterates repeat those of the reference form.
  // Callers pass |b| >= |a|; the bound only keeps a shorter b from being overread.
  const std::size_t n = std::min(a.size(), b.size());
  const std::size_t k = n - n % 4;
  double sum = +0.0;
  for (std::size_t i = 0; i < k; ++i) {
    const double p = a[i] * b[i];
    sum += p;
  }
  for (std::size_t i = k; i < n; ++i) sum = std::fma(a[i], b[i], sum);
  return sum;
}

double norm2(std::span<const double> v) {
  double sum = -0.0;
  for (const double e : v) {
    const double sq = e * e;
    sum += sq;
  }
  return std::sqrt(sum);
}

double norm_inf(std::span<const double> v) {
  double m = 0.0;
  for (const double e : v) m = std::fmax(m, std::fabs(e));
  return m;
}

std::size_t active_count_with_activity(std::span<const double> x, std::span<const double> lower,
                                       std::span<const double> upper) {
  constexpr double e = 1e-12;
  const std::size_t n = std::min({x.size(), lower.size(), upper.size()});
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double l = lower[i];
    const double u = upper[i];
    const bool active = l == u || (std::isfinite(l) && x[i] <= l + e) || (std::isfinite(u) && x[i] >= u - e);
    if (active) ++count;
  }
  return count;
}

}  // namespace compat_lbfgsb::backend::native
