#include "numerics/whole_sample.hpp"

#include <cmath>
#include <utility>

#include "numerics/dense.hpp"
#include "numerics/moments.hpp"
#include "numerics/rank.hpp"

namespace kestrune::whole_sample {
namespace {

using Eigen::Index;

constexpr double ln_2pi = 1.8378770664093453;

// The lower triangle of V, the only part the factor reads; each entry takes its terms in
// the order of the covariance: the given matrices, the place kernel, the residual.
void assemble(const GroupedCovariance& c, Eigen::MatrixXd& v) {
  const auto n = static_cast<Index>(c.group_of.size());
  v.resize(n, n);
  for (Index j = 0; j < n; ++j) v.col(j).tail(n - j).setZero();
  for (std::size_t l = 0; l < c.fixed.size(); ++l) {
    const double coefficient = c.fixed_coefficients[l];
    if (coefficient == 0.0) continue;
    const Eigen::MatrixXd& a = c.fixed[l];
    for (Index j = 0; j < n; ++j) {
      for (Index i = j; i < n; ++i) v(i, j) += coefficient * a(i, j);
    }
  }
  if (c.kernel_coefficient != 0.0) {
    for (Index j = 0; j < n; ++j) {
      const auto gj = static_cast<Index>(c.group_of[j]);
      for (Index i = j; i < n; ++i) {
        v(i, j) += c.kernel_coefficient * c.kernel(static_cast<Index>(c.group_of[i]), gj);
      }
    }
  }
  for (Index i = 0; i < n; ++i) v(i, i) += c.residual;
}

double dot(const Eigen::VectorXd& a, const Eigen::VectorXd& b) {
  double sum = 0.0;
  for (Index i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

// tr(A B) for p x p matrices.
double trace_of_product(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  double sum = 0.0;
  for (Index i = 0; i < a.rows(); ++i) {
    for (Index j = 0; j < a.cols(); ++j) sum += a(i, j) * b(j, i);
  }
  return sum;
}

// What every gradient coordinate shares: V^-1, Py, V^-1 X, (X'V^-1 X)^-1, and the
// place-level sums Z'V^-1 Z, Z'Py and Z'V^-1 X.
struct Shared {
  const Eigen::MatrixXd& inverse;
  const Eigen::VectorXd& r;
  const Eigen::MatrixXd& b;
  const Eigen::MatrixXd& c_inverse;
  Eigen::MatrixXd& place_inverse;
  Eigen::VectorXd place_r;
  Eigen::MatrixXd place_b;
  bool reml_term;  // REML with at least one fixed effect
};

void sum_by_place(Shared& s, std::span<const std::size_t> group_of, Index places) {
  const Index n = s.r.size();
  s.place_inverse.setZero(places, places);
  s.place_r = Eigen::VectorXd::Zero(places);
  s.place_b = Eigen::MatrixXd::Zero(places, s.b.cols());
  for (Index j = 0; j < n; ++j) {
    const auto gj = static_cast<Index>(group_of[j]);
    for (Index i = 0; i < n; ++i) s.place_inverse(static_cast<Index>(group_of[i]), gj) += s.inverse(i, j);
  }
  for (Index i = 0; i < n; ++i) {
    const auto gi = static_cast<Index>(group_of[i]);
    s.place_r[gi] += s.r[i];
    s.place_b.row(gi) += s.b.row(i);
  }
}

// 0.5 [tr(V^-1 D) - r'D r] - 0.5 tr(C^-1 B'D B) for a given n x n matrix D, in one pass
// over its entries. The trace is summed row by row, each row over its columns in order.
double given_coordinate(const Shared& s, const Eigen::MatrixXd& d) {
  const Index n = s.r.size();
  const Index p = s.b.cols();
  Eigen::VectorXd row_trace = Eigen::VectorXd::Zero(n);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(n);
  Eigen::MatrixXd db = s.reml_term ? Eigen::MatrixXd::Zero(n, p) : Eigen::MatrixXd();
  for (Index j = 0; j < n; ++j) {
    const double rj = s.r[j];
    for (Index i = 0; i < n; ++i) {
      const double dij = d(i, j);
      row_trace[i] += dij * s.inverse(i, j);
      u[i] += dij * rj;
    }
    if (!s.reml_term) continue;
    for (Index c = 0; c < p; ++c) {
      const double bjc = s.b(j, c);
      for (Index i = 0; i < n; ++i) db(i, c) += d(i, j) * bjc;
    }
  }
  double trace = 0.0;
  for (Index i = 0; i < n; ++i) trace += row_trace[i];
  double g = (trace - dot(s.r, u)) * 0.5;
  if (s.reml_term) g -= 0.5 * trace_of_product(s.c_inverse, s.b.transpose() * db);
  return g;
}

// The same for D[g(i)][g(j)] with D over the places: everything reduces to k x k work.
double place_coordinate(const Shared& s, const Eigen::MatrixXd& d) {
  double trace = 0.0;
  for (Index a = 0; a < d.rows(); ++a) {
    for (Index b = 0; b < d.cols(); ++b) trace += d(a, b) * s.place_inverse(a, b);
  }
  const Eigen::VectorXd u = d * s.place_r;
  double g = (trace - dot(s.place_r, u)) * 0.5;
  if (s.reml_term) g -= 0.5 * trace_of_product(s.c_inverse, s.place_b.transpose() * (d * s.place_b));
  return g;
}

// The identity: tr V^-1, r'r and B'B.
double residual_coordinate(const Shared& s) {
  double trace = 0.0;
  for (Index i = 0; i < s.r.size(); ++i) trace += s.inverse(i, i);
  double g = (trace - dot(s.r, s.r)) * 0.5;
  if (s.reml_term) g -= 0.5 * trace_of_product(s.c_inverse, s.b.transpose() * s.b);
  return g;
}

std::optional<WholeSampleLikelihood> with_factor(const dense::FactorView& factor, const GroupedCovariance& cov,
                                                 const Design& design, const Eigen::VectorXd& y, bool reml,
                                                 std::span<const Eigen::MatrixXd> derivatives, bool with_gradient,
                                                 Workspace& workspace) {
  const double logdet_v = factor.logdet();
  if (!std::isfinite(logdet_v)) return std::nullopt;
  const Eigen::MatrixXd& x = design.x;
  Eigen::VectorXd z = y;
  factor.solve_in_place(z);
  Eigen::MatrixXd b = x;
  factor.solve_in_place(b);
  const Eigen::MatrixXd c = x.transpose() * b;
  const Eigen::VectorXd xz = x.transpose() * z;
  const auto c_factor = dense::DenseFactor::make(c);
  if (!c_factor) return std::nullopt;
  Eigen::VectorXd beta = c_factor->solve_vector(xz);
  const double q = dot(y, z) - dot(xz, beta);
  if (!(std::isfinite(q) && q > 0.0)) return std::nullopt;

  const auto n = static_cast<double>(y.size());
  const auto p = static_cast<double>(x.cols());
  double value = ((n * ln_2pi + logdet_v) + q) * 0.5;
  if (reml) value += (c_factor->logdet() - design.logdet_xtx) * 0.5 + (p / 2.0) * (-ln_2pi);

  WholeSampleLikelihood result{value, std::move(beta), c_factor->inverse(), {}};
  if (!with_gradient) return result;

  factor.symmetric_inverse_into(workspace.inverse);
  const Eigen::VectorXd r = z - b * result.beta;
  Shared shared{workspace.inverse, r, b, result.beta_covariance, workspace.place_inverse, {}, {}, reml && x.cols() > 0};
  sum_by_place(shared, cov.group_of, cov.kernel.rows());
  for (const Eigen::MatrixXd& a : cov.fixed) result.gradient.push_back(given_coordinate(shared, a));
  result.gradient.push_back(place_coordinate(shared, cov.kernel));
  result.gradient.push_back(residual_coordinate(shared));
  for (const Eigen::MatrixXd& d : derivatives) result.gradient.push_back(place_coordinate(shared, d));
  return result;
}

}  // namespace

std::optional<Standardised> standardise(const centring::LeastSquares& design, const Eigen::VectorXd& y) {
  const double variance = moments::population_moments(y).variance;
  if (!(variance > 0.0) || rank::constant_at_rounding(y)) return std::nullopt;
  const double sd = std::sqrt(variance);
  centring::Centred centred = design.centre(y);
  return Standardised{centred.residual / sd, std::move(centred.coefficients), variance, sd};
}

std::vector<double> effects_on_response_scale(const Eigen::VectorXd& beta, const Standardised& response) {
  std::vector<double> effects;
  effects.reserve(static_cast<std::size_t>(beta.size()));
  for (Index i = 0; i < beta.size(); ++i) effects.push_back(response.sd * beta[i] + response.offset[i]);
  return effects;
}

std::optional<WholeSampleLikelihood> whole_sample_likelihood(
    const GroupedCovariance& covariance, const Design& design, const Eigen::VectorXd& y, bool reml,
    std::span<const Eigen::MatrixXd> derivatives, bool with_gradient, Workspace& workspace) {
  assemble(covariance, workspace.covariance);
  const auto factor = dense::FactorView::make(workspace.covariance, dense::DenseFactor::Route::lapack);
  if (!factor) return std::nullopt;
  return with_factor(*factor, covariance, design, y, reml, derivatives, with_gradient, workspace);
}

}  // namespace kestrune::whole_sample
