#include "bivariate/likelihood.hpp"

#include <algorithm>
#include <cmath>

#include "numerics/dense.hpp"
#include "numerics/interrupt.hpp"

namespace kestrune::bivariate {
namespace {

constexpr double log_two_pi = 1.8378770664093453;
// How far below zero det G and det E may fall through rounding.
constexpr double cone_tolerance = -1e-12;

bool admissible(const Theta& theta, bool with_gradient, bool has_state) {
  for (const double value : theta)
    if (!std::isfinite(value)) return false;
  const auto [v1, v2, h1, h2, rho_g, rho_e] = theta;
  if (v1 <= 0.0 || v2 <= 0.0) return false;
  if (h1 < 0.0 || h1 > 1.0 || h2 < 0.0 || h2 > 1.0) return false;
  if (std::fabs(rho_g) > 1.0 || std::fabs(rho_e) > 1.0) return false;
  // The derivatives in h need room on both sides unless the state holds an end.
  if (with_gradient && !has_state && !(h1 > 0.0 && h1 < 1.0 && h2 > 0.0 && h2 < 1.0)) return false;
  return true;
}

bool in_cone(const Eigen::Matrix2d& m) {
  const double det = m(0, 0) * m(1, 1) - m(0, 1) * m(1, 0);
  return !(m(0, 0) < 0.0 || m(1, 1) < 0.0 || det < cone_tolerance);
}

// A pivot of a Cholesky factor: positive, and with a finite root.
bool usable_pivot(double pivot) { return pivot > 0.0 && pivot < HUGE_VAL; }

// The inverse [[i00, i01], [i01, i11]] and ln det of the covariance [[a, b], [b, c]], through
// its Cholesky pivots a and c - b^2 / a; nothing where a dense factor would refuse it.
struct Inverse2 {
  double i00, i01, i11, log_det;
};

std::optional<Inverse2> inverse2(double a, double b, double c) {
  if (!usable_pivot(a)) return std::nullopt;
  const double ratio = b / a;
  const double pivot = c - b * ratio;
  if (!usable_pivot(pivot)) return std::nullopt;
  const double i11 = 1.0 / pivot;
  const double i01 = -ratio * i11;
  // One logarithm where the determinant is a normal number, two where it is not.
  const double det = a * pivot;
  const double log_det = std::isnormal(det) && det < HUGE_VAL ? std::log(det) : std::log(a) + std::log(pivot);
  return Inverse2{1.0 / a - ratio * i01, i01, i11, log_det};
}

double dot(const double* a, const double* b, Eigen::Index n) {
  double sum = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

// <w.genetic, dG> + <w.residual, dE>, entry by entry.
double along(const Evaluator::Weights& w, const Covariances& d) {
  double sum = 0.0;
  for (Eigen::Index j = 0; j < 2; ++j)
    for (Eigen::Index i = 0; i < 2; ++i) sum += w.genetic(i, j) * d.genetic(i, j) + w.residual(i, j) * d.residual(i, j);
  return sum;
}

// Adds weight(a, b) over a dense family's ordered pairs of values into w.
template <class Weight>
void weigh(const Block& block, Weight weight, Evaluator::Weights& w) {
  for_each_pair(block, [&](Eigen::Index a, Eigen::Index b, Eigen::Index ta, Eigen::Index tb, double k, bool same) {
    const double value = weight(a, b);
    w.genetic(ta, tb) += value * k;
    if (same) w.residual(ta, tb) += value;
  });
}

// The same over directions: each is one person with relationship lambda, so a symmetric 2 x 2
// weight s adds lambda s to the genetic half and s to the residual one.
struct DirectionSums {
  double s00 = 0.0, s01 = 0.0, s11 = 0.0, l00 = 0.0, l01 = 0.0, l11 = 0.0;

  void add(double lambda, double a00, double a01, double a11) {
    s00 += a00;
    s01 += a01;
    s11 += a11;
    l00 += lambda * a00;
    l01 += lambda * a01;
    l11 += lambda * a11;
  }

  void into(Evaluator::Weights& w) const {
    add_symmetric(w.genetic, l00, l01, l11);
    add_symmetric(w.residual, s00, s01, s11);
  }

  static void add_symmetric(Eigen::Matrix2d& m, double x00, double x01, double x11) {
    m(0, 0) += x00;
    m(0, 1) += x01;
    m(1, 0) += x01;
    m(1, 1) += x11;
  }
};

}  // namespace

Evaluator::Evaluator(const BivariateModel& model, const Eigen::Ref<const Eigen::VectorXd>& y, Route route)
    : model_(&model), rotate_(route == Route::by_family), p_(model.design().cols()) {
  const std::vector<Block>& blocks = model.blocks();
  Eigen::Index rows = 0, largest = 0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (rotate_ && blocks[b].rotated) continue;
    const auto m = static_cast<Eigen::Index>(blocks[b].rows.size());
    dense_.push_back(b);
    offset_.push_back(rows);
    rows += m;
    largest = std::max(largest, m);
  }
  family_y_.resize(rows);
  for (std::size_t f = 0; f < dense_.size(); ++f) {
    const std::vector<Eigen::Index>& at = blocks[dense_[f]].rows;
    for (std::size_t i = 0; i < at.size(); ++i) family_y_[offset_[f] + static_cast<Eigen::Index>(i)] = y[at[i]];
  }
  solved_.resize(rows, p_ + 1);
  covariance_.resize(largest, largest);
  solves_.resize(largest, 1 + p_ + largest);
  scratch_.resize(largest, p_);
  residual_.resize(largest);

  if (rotate_) direction_y_ = model.directions().rotate(y);
  const Eigen::Index count = direction_y_.rows();
  direction_z_.resize(count, 2);
  direction_w_.resize(count, 2 * p_);

  a_.resize(p_, p_);
  c_.resize(p_);
  beta_.resize(p_);
  a_inverse_.resize(p_, p_);
}

bool Evaluator::accumulate_directions(const Eigen::Matrix2d& genetic, const Eigen::Matrix2d& residual,
                                      bool with_gradient) {
  const Directions& directions = model_->directions();
  const Eigen::Index p = p_;
  DirectionSums trace;
  for (Eigen::Index d = 0; d < direction_y_.rows(); ++d) {
    const double lambda = directions.eigenvalues[d];
    const std::optional<Inverse2> inverse =
        inverse2(lambda * genetic(0, 0) + residual(0, 0), lambda * genetic(0, 1) + residual(0, 1),
                 lambda * genetic(1, 1) + residual(1, 1));
    if (!inverse) return false;
    const auto [i00, i01, i11, log_det] = *inverse;
    log_det_ += log_det;
    const double y0 = direction_y_(d, 0), y1 = direction_y_(d, 1);
    const double z0 = i00 * y0 + i01 * y1, z1 = i01 * y0 + i11 * y1;
    direction_z_(d, 0) = z0;
    direction_z_(d, 1) = z1;
    quadratic_ += y0 * z0 + y1 * z1;
    const double* x0 = &directions.design(d, 0);
    const double* x1 = x0 + p;
    double* w0 = &direction_w_(d, 0);
    double* w1 = w0 + p;
    for (Eigen::Index j = 0; j < p; ++j) {
      w0[j] = i00 * x0[j] + i01 * x1[j];
      w1[j] = i01 * x0[j] + i11 * x1[j];
      c_[j] += x0[j] * z0 + x1[j] * z1;
    }
    for (Eigen::Index j = 0; j < p; ++j)
      for (Eigen::Index i = j; i < p; ++i) a_(i, j) += x0[i] * w0[j] + x1[i] * w1[j];
    if (with_gradient) trace.add(lambda, i00, i01, i11);
  }
  trace.into(trace_);
  return true;
}

bool Evaluator::accumulate_families(const Eigen::Matrix2d& genetic, const Eigen::Matrix2d& residual,
                                    bool with_gradient) {
  const std::vector<Block>& blocks = model_->blocks();
  for (std::size_t f = 0; f < dense_.size(); ++f) {
    // A family of thousands takes a second to factor: a stop is polled before each.
    if (interrupt::requested()) return false;
    const Block& block = blocks[dense_[f]];
    const auto m = static_cast<Eigen::Index>(block.rows.size());
    const Eigen::Index at = offset_[f];
    BivariateModel::assemble(block, genetic, residual, covariance_);
    const auto factor = dense::FactorView::make(covariance_.topLeftCorner(m, m));
    if (!factor) return false;
    // y, X and, for the gradient, the identity, solved in one call.
    auto rhs = solves_.topLeftCorner(m, 1 + p_ + (with_gradient ? m : 0));
    rhs.col(0) = family_y_.segment(at, m);
    rhs.middleCols(1, p_) = block.design;
    if (with_gradient) rhs.rightCols(m).setIdentity();
    factor->solve_in_place(rhs);
    auto solved = solved_.middleRows(at, m);
    solved = rhs.leftCols(1 + p_);
    log_det_ += factor->logdet();
    const double* y = family_y_.data() + at;
    const double* z = &solved(0, 0);
    quadratic_ += dot(y, z, m);
    for (Eigen::Index j = 0; j < p_; ++j) {
      const double* x_j = &block.design(0, j);
      c_[j] += dot(x_j, z, m);
      for (Eigen::Index i = j; i < p_; ++i) a_(i, j) += dot(&block.design(0, i), &solved(0, j + 1), m);
    }
    if (with_gradient) {
      const auto inverse = rhs.rightCols(m);
      weigh(block, [&](Eigen::Index a, Eigen::Index b) { return inverse(a, b); }, trace_);
    }
  }
  return true;
}

void Evaluator::weigh_directions(bool reml) {
  const Directions& directions = model_->directions();
  const Eigen::Index p = p_;
  DirectionSums residuals, design;
  for (Eigen::Index d = 0; d < direction_y_.rows(); ++d) {
    const double lambda = directions.eigenvalues[d];
    const double* w0 = &direction_w_(d, 0);
    const double* w1 = w0 + p;
    const double r0 = direction_z_(d, 0) - dot(w0, beta_.data(), p);
    const double r1 = direction_z_(d, 1) - dot(w1, beta_.data(), p);
    residuals.add(lambda, r0 * r0, r0 * r1, r1 * r1);
    if (!reml) continue;
    // w_s' A^-1 w_t, with A^-1 w_0 and A^-1 w_1 formed column by column of A^-1.
    double q00 = 0.0, q01 = 0.0, q11 = 0.0;
    for (Eigen::Index j = 0; j < p; ++j) {
      const double* column = &a_inverse_(0, j);
      const double v0 = dot(column, w0, p), v1 = dot(column, w1, p);
      q00 += w0[j] * v0;
      q01 += w0[j] * v1;
      q11 += w1[j] * v1;
    }
    design.add(lambda, q00, q01, q11);
  }
  residuals.into(residuals_);
  design.into(design_);
}

void Evaluator::weigh_families(bool reml) {
  const std::vector<Block>& blocks = model_->blocks();
  for (std::size_t f = 0; f < dense_.size(); ++f) {
    const Block& block = blocks[dense_[f]];
    const auto m = static_cast<Eigen::Index>(block.rows.size());
    const auto solved = solved_.middleRows(offset_[f], m);
    for (Eigen::Index a = 0; a < m; ++a) {
      double fitted = 0.0;
      for (Eigen::Index j = 0; j < p_; ++j) fitted += solved(a, j + 1) * beta_[j];
      residual_[a] = solved(a, 0) - fitted;
    }
    weigh(block, [&](Eigen::Index a, Eigen::Index b) { return residual_[a] * residual_[b]; }, residuals_);
    if (!reml) continue;
    // V^-1 X A^-1, then its rows against those of V^-1 X.
    for (Eigen::Index j = 0; j < p_; ++j) {
      for (Eigen::Index a = 0; a < m; ++a) {
        double sum = 0.0;
        for (Eigen::Index i = 0; i < p_; ++i) sum += solved(a, i + 1) * a_inverse_(i, j);
        scratch_(a, j) = sum;
      }
    }
    weigh(block, [&](Eigen::Index a, Eigen::Index b) {
      double sum = 0.0;
      for (Eigen::Index j = 0; j < p_; ++j) sum += scratch_(a, j) * solved(b, j + 1);
      return sum;
    }, design_);
  }
}

std::optional<BivariateEvaluation> Evaluator::operator()(const Theta& theta, bool reml, bool with_gradient,
                                                         std::optional<HeritabilityState> state) {
  if (!admissible(theta, with_gradient, state.has_value())) return std::nullopt;
  const Covariances cov = covariances(theta);
  if (!in_cone(cov.genetic) || !in_cone(cov.residual)) return std::nullopt;

  a_.setZero();
  c_.setZero();
  quadratic_ = 0.0;
  log_det_ = 0.0;
  trace_ = {};
  if (!accumulate_directions(cov.genetic, cov.residual, with_gradient)) return std::nullopt;
  if (!accumulate_families(cov.genetic, cov.residual, with_gradient)) return std::nullopt;

  // A's lower triangle is all the factor reads; it is factored in place.
  const auto a_factor = dense::FactorView::make(a_);
  if (!a_factor) return std::nullopt;
  beta_ = c_;
  a_factor->solve_in_place(beta_);
  const double q = quadratic_ - dot(c_.data(), beta_.data(), p_);
  if (!(q > 0.0) || !std::isfinite(q)) return std::nullopt;

  const auto big_n = static_cast<double>(model_->observed_count());
  BivariateEvaluation result{0.5 * (q + log_det_ + big_n * log_two_pi), {}};
  if (reml) {
    result.value +=
        0.5 * (a_factor->logdet() - model_->design_log_det()) - (static_cast<double>(p_) / 2.0) * log_two_pi;
  }
  if (!with_gradient) return result;

  // For each coordinate k: half of trace(V^-1 dV) - r' dV r, less half of trace(A^-1 X'V^-1 dV V^-1 X)
  // under REML, each a sum of weights against dV.
  if (reml) {
    a_inverse_.setIdentity();
    a_factor->solve_in_place(a_inverse_);
  }
  residuals_ = {};
  design_ = {};
  weigh_directions(reml);
  weigh_families(reml);
  for (std::size_t k = 0; k < 6; ++k) {
    const Covariances d = derivative(theta, k);
    double g = 0.5 * (along(trace_, d) - along(residuals_, d));
    if (reml) g -= 0.5 * along(design_, d);
    result.gradient[k] = g;
  }
  return result;
}

}  // namespace kestrune::bivariate
