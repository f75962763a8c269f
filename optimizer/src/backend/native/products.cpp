#include "backend/native/products.hpp"

#include <algorithm>
#include <cmath>

#include "backend/native/kernels.hpp"

namespace compat_lbfgsb::backend::native {
namespace {

double dot(std::span<const double> a, std::span<const double> b) { return compatibility_dot(false, a, b); }

// One pair prepared for the direct product: b = B_{k-1} s_k and s_k'b.
struct PreparedHessianUpdate {
  std::vector<double> hessian_step;
  std::size_t index;
  double curvature;
};

// r += y_j (c / (1/rho_j)) - b (a / curvature), each quotient formed as a
// product divided by its divisor, as the reference recursion rounds it.
void apply_update(std::vector<double>& r, const Correction& pair, const PreparedHessianUpdate& prepared, double a,
                  double c) {
  const double sy = 1.0 / pair.rho;
  for (std::size_t i = 0; i < r.size(); ++i) {
    const double secant = (c * pair.y[i]) / sy;
    const double removed = (a * prepared.hessian_step[i]) / prepared.curvature;
    r[i] += secant - removed;
  }
}

std::vector<double> scaled(double factor, std::span<const double> v) {
  std::vector<double> r(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) r[i] = factor * v[i];
  return r;
}

}  // namespace

void project_direction(std::span<const double> x, std::span<const double> lower, std::span<const double> upper,
                       std::span<double> d) {
  constexpr double tol = 1e-12;
  const std::size_t n = std::min({x.size(), lower.size(), upper.size(), d.size()});
  for (std::size_t i = 0; i < n; ++i) {
    const bool fixed = lower[i] == upper[i];
    const bool leaves_lower = x[i] <= lower[i] + tol && d[i] < 0.0;
    const bool leaves_upper = x[i] >= upper[i] - tol && d[i] > 0.0;
    if (fixed || leaves_lower || leaves_upper) d[i] = 0.0;
  }
}

std::vector<double> steepest_projected_direction(std::span<const double> x, std::span<const double> g,
                                                 std::span<const double> lower, std::span<const double> upper) {
  std::vector<double> d(g.size());
  for (std::size_t i = 0; i < g.size(); ++i) d[i] = -g[i];
  project_direction(x, lower, upper, d);
  return d;
}

std::vector<double> projected_lbfgs_direction(std::span<const double> x, std::span<const double> g,
                                              std::span<const double> lower, std::span<const double> upper,
                                              std::span<const Correction> history) {
  if (history.empty()) return steepest_projected_direction(x, g, lower, upper);
  const std::size_t m = history.size();
  std::vector<double> q(g.begin(), g.end());
  std::vector<double> alpha(m, 0.0);
  for (std::size_t k = m; k-- > 0;) {
    const Correction& pair = history[k];
    alpha[k] = pair.rho * dot(pair.s, q);
    for (std::size_t j = 0; j < q.size(); ++j) q[j] -= alpha[k] * pair.y[j];
  }
  const Correction& newest = history.back();
  const double sy = dot(newest.s, newest.y);
  const double yy = dot(newest.y, newest.y);
  // fmax ignores a NaN quotient, which thus yields the floor.
  const double gamma = yy > 0.0 ? std::fmax(sy / yy, 1e-20) : 1.0;
  std::vector<double> r = scaled(gamma, q);
  for (std::size_t k = 0; k < m; ++k) {
    const Correction& pair = history[k];
    const double beta = pair.rho * dot(pair.y, r);
    const double coefficient = alpha[k] - beta;
    for (std::size_t j = 0; j < r.size(); ++j) r[j] += coefficient * pair.s[j];
  }
  for (double& e : r) e = -e;
  project_direction(x, lower, upper, r);
  return r;
}

std::vector<double> lbfgs_hessian_product(std::span<const double> v, std::span<const Correction> history) {
  if (history.empty()) return std::vector<double>(v.begin(), v.end());
  const Correction& newest = history.back();
  const double sy = dot(newest.s, newest.y);
  const double yy = dot(newest.y, newest.y);
  const double theta = sy > 0.0 && std::isfinite(yy) ? std::fmax(yy / sy, 1e-20) : 1.0;

  std::vector<PreparedHessianUpdate> prepared;
  prepared.reserve(history.size());
  for (std::size_t k = 0; k < history.size(); ++k) {
    std::vector<double> u = scaled(theta, history[k].s);
    for (const PreparedHessianUpdate& p : prepared) {
      const Correction& earlier = history[p.index];
      const double a = dot(earlier.s, u);
      const double c = dot(earlier.y, history[k].s);
      apply_update(u, earlier, p, a, c);
    }
    const double kappa = dot(history[k].s, u);
    // A pair without positive finite curvature under the current model would
    // divide by zero or flip the sign of B: it takes no part at all.
    if (std::isfinite(kappa) && kappa > 0.0) prepared.push_back({std::move(u), k, kappa});
  }

  std::vector<double> r = scaled(theta, v);
  for (const PreparedHessianUpdate& p : prepared) {
    const Correction& pair = history[p.index];
    const double a = dot(pair.s, r);
    const double c = dot(pair.y, v);
    apply_update(r, pair, p, a, c);
  }
  return r;
}

}  // namespace compat_lbfgsb::backend::native
