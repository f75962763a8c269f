#include "backend/native/cauchy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "backend/native/kernels.hpp"
#include "backend/native/products.hpp"

namespace compat_lbfgsb::backend::native {
namespace {

constexpr double kMovementThreshold = 1e-14;
constexpr double kGroupingWidth = 1e-12;

struct Breakpoint {
  double time;
  std::size_t index;
};

// Times at which free variables reach the bound they move towards, finite and
// not negative (a -0.0 counts), stably sorted so equal times keep index order.
std::vector<Breakpoint> breakpoints(std::span<const double> x, std::span<const double> g,
                                    std::span<const double> lower,
                                    std::span<const double> upper) {
  std::vector<Breakpoint> list;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (lower[i] == upper[i]) continue;
    double t;
    if (g[i] > 0.0 && std::isfinite(lower[i])) {
      t = (x[i] - lower[i]) / g[i];
    } else if (g[i] < 0.0 && std::isfinite(upper[i])) {
      t = (x[i] - upper[i]) / g[i];
    } else {
      continue;
    }
    if (std::isfinite(t) && t >= 0.0) list.push_back({t, i});
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const Breakpoint& a, const Breakpoint& b) { return a.time < b.time; });
  return list;
}

}  // namespace

CauchyPoint generalized_cauchy_point_with_hessian(std::span<const double> x,
                                                  std::span<const double> g,
                                                  std::span<const double> lower,
                                                  std::span<const double> upper,
                                                  const HessianProduct& hessian) {
  const std::size_t n = x.size();
  std::vector<double> xc(x.begin(), x.end());
  std::vector<bool> free(n, true);
  for (std::size_t i = 0; i < n; ++i) {
    if (lower[i] == upper[i]) {
      xc[i] = lower[i];
      free[i] = false;
    }
  }
  const std::vector<Breakpoint> list = breakpoints(x, g, lower, upper);

  double t_cur = 0.0;
  double f2_floor = 0.0;
  std::size_t k = 0;
  bool first_pass = true;
  std::vector<double> d(n);
  for (;;) {
    for (std::size_t i = 0; i < n; ++i) d[i] = free[i] ? -g[i] : 0.0;
    if (norm_inf(d) <= kMovementThreshold) break;

    const std::vector<double> bd = hessian(d);
    const std::vector<double> z = difference(xc, x);
    const double f1 = compatibility_dot(false, g, d) + compatibility_dot(false, z, bd);
    const double f2 = compatibility_dot(false, d, bd);
    if (first_pass && f2 > 0.0 && f2 < std::numeric_limits<double>::infinity()) {
      f2_floor = f2 * EPSMCH;
    }
    first_pass = false;
    if (f1 >= 0.0) break;

    const double t_next =
        k < list.size() ? list[k].time : std::numeric_limits<double>::infinity();
    const double dt = t_next - t_cur;
    if (f2 > 0.0 && std::isfinite(f2)) {
      const double dt_min = -f1 / std::fmax(f2, f2_floor);
      if (dt_min <= dt) {
        xc = bounded_step(xc, d, lower, upper, dt_min);
        break;
      }
    }
    if (!std::isfinite(t_next)) break;

    xc = bounded_step(xc, d, lower, upper, std::fmax(dt, 0.0));
    while (k < list.size() && std::fabs(list[k].time - t_next) <= kGroupingWidth) {
      free[list[k].index] = false;
      ++k;
    }
    t_cur = t_next;
  }

  const std::size_t active = active_count_with_activity(xc, lower, upper);
  return {std::move(xc), active};
}

CauchyPoint generalized_cauchy_point_limited_memory_with_activity(
    std::span<const double> x, std::span<const double> g, std::span<const double> lower,
    std::span<const double> upper, std::span<const Correction> history) {
  return generalized_cauchy_point_with_hessian(
      x, g, lower, upper,
      [&history](std::span<const double> v) { return lbfgs_hessian_product(v, history); });
}

}  // namespace compat_lbfgsb::backend::native
