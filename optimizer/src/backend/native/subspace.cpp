#include "backend/native/subspace.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "backend/native/kernels.hpp"
#include "backend/native/products.hpp"

namespace compat_lbfgsb::backend::native {
namespace {

constexpr double kFreeWidth = 1e-12;
constexpr double kPivotFloor = 1e-12;

// Square matrix of order n, row-major.
struct Square {
  std::size_t n;
  std::vector<double> a;
  explicit Square(std::size_t order) : n(order), a(order * order, 0.0) {}
  double& operator()(std::size_t r, std::size_t c) { return a[r * n + c]; }
  double operator()(std::size_t r, std::size_t c) const { return a[r * n + c]; }
};

// Lower Cholesky factor read from the lower triangle of h; absent on a pivot
// that is not above the floor or not finite.
std::optional<Square> cholesky_lower(const Square& h) {
  Square l(h.n);
  for (std::size_t i = 0; i < h.n; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double s = h(i, j);
      for (std::size_t p = 0; p < j; ++p) s -= l(i, p) * l(j, p);
      if (j == i) {
        if (!(s > kPivotFloor) || !std::isfinite(s)) return std::nullopt;
        l(i, i) = std::sqrt(s);
      } else {
        l(i, j) = s / l(j, j);
      }
    }
  }
  return l;
}

// Solves L L' u = rhs: forward, then back substitution.
std::vector<double> solve_factored(const Square& l, const std::vector<double>& rhs) {
  const std::size_t n = l.n;
  std::vector<double> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    double s = rhs[i];
    for (std::size_t p = 0; p < i; ++p) s -= l(i, p) * y[p];
    y[i] = s / l(i, i);
  }
  std::vector<double> u(n);
  for (std::size_t i = n; i-- > 0;) {
    double s = y[i];
    for (std::size_t p = i + 1; p < n; ++p) s -= l(p, i) * u[p];
    u[i] = s / l(i, i);
  }
  return u;
}

// The largest fraction of d that keeps cauchy + t d in the box, capped at 1.
double step_length(std::span<const double> cauchy, const std::vector<double>& d,
                   std::span<const double> lower, std::span<const double> upper) {
  double smallest = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (d[i] > 0.0 && std::isfinite(upper[i])) {
      smallest = std::fmin(smallest, (upper[i] - cauchy[i]) / d[i]);
    } else if (d[i] < 0.0 && std::isfinite(lower[i])) {
      smallest = std::fmin(smallest, (lower[i] - cauchy[i]) / d[i]);
    }
  }
  if (std::isinf(smallest)) return 1.0;
  return std::fmin(std::fmax(smallest, 0.0), 1.0);
}

}  // namespace

std::vector<std::size_t> free_indices_with_activity(std::span<const double> cauchy,
                                                    std::span<const double> lower,
                                                    std::span<const double> upper) {
  std::vector<std::size_t> free;
  for (std::size_t i = 0; i < cauchy.size(); ++i) {
    if (lower[i] == upper[i]) continue;
    const double near_lower = lower[i] + kFreeWidth;
    const double near_upper = upper[i] - kFreeWidth;
    if (cauchy[i] <= near_lower && std::isfinite(lower[i])) continue;
    if (cauchy[i] >= near_upper && std::isfinite(upper[i])) continue;
    free.push_back(i);
  }
  return free;
}

std::optional<SubspaceStep> subspace_minimizer_with_hessian_and_activity(
    std::span<const double> x, std::span<const double> g, std::span<const double> lower,
    std::span<const double> upper, std::span<const double> cauchy,
    const HessianProduct& hessian) {
  const std::vector<std::size_t> free = free_indices_with_activity(cauchy, lower, upper);
  const std::size_t nf = free.size();
  if (nf == 0) return SubspaceStep{{cauchy.begin(), cauchy.end()}, 0, false};

  const std::size_t n = x.size();
  const std::vector<double> bz = hessian(difference(cauchy, x));
  Square h(nf);
  std::vector<double> unit(n, 0.0);
  for (std::size_t k = 0; k < nf; ++k) {
    unit[free[k]] = 1.0;
    const std::vector<double> column = hessian(unit);
    unit[free[k]] = 0.0;
    for (std::size_t r = 0; r < nf; ++r) h(r, k) = column[free[r]];
  }
  std::vector<double> rhs(nf);
  for (std::size_t k = 0; k < nf; ++k) rhs[k] = -(g[free[k]] + bz[free[k]]);

  const std::optional<Square> l = cholesky_lower(h);
  if (!l) return std::nullopt;
  const std::vector<double> du = solve_factored(*l, rhs);

  std::vector<double> d(n, 0.0);
  for (std::size_t k = 0; k < nf; ++k) d[free[k]] = du[k];
  const double alpha = step_length(cauchy, d, lower, upper);
  return SubspaceStep{bounded_step(cauchy, d, lower, upper, alpha), nf, alpha < 1.0};
}

std::optional<SubspaceStep> subspace_minimizer_limited_memory_with_activity(
    std::span<const double> x, std::span<const double> g, std::span<const double> lower,
    std::span<const double> upper, std::span<const Correction> history,
    std::span<const double> cauchy) {
  return subspace_minimizer_with_hessian_and_activity(
      x, g, lower, upper, cauchy,
      [&history](std::span<const double> v) { return lbfgs_hessian_product(v, history); });
}

}  // namespace compat_lbfgsb::backend::native
