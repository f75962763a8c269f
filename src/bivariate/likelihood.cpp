#include "bivariate/likelihood.hpp"

#include <algorithm>
#include <cmath>

#include "numerics/dense.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/rank.hpp"

namespace kestrune::bivariate {
namespace {

constexpr double log_two_pi = 1.8378770664093453;
// How far below zero det G and det E may fall through rounding.
constexpr double cone_tolerance = -1e-12;
// In a gapped family, a direction whose 2 x 2 covariance has its smaller eigenvalue below the
// family's largest divided by this is raised: the correction subtracts terms of H's size from
// V_o^-1, and keeps about 16 - log10 of that ratio digits.
constexpr double gap_condition_limit = 1e4;
// More directions raised than this, and the family is taken through its dense covariance.
constexpr Eigen::Index most_raised = 32;

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
  const std::vector<Gap>& gaps = model.directions().gaps;
  std::vector<std::ptrdiff_t> gap_of_block(blocks.size(), -1);
  if (rotate_)
    for (std::size_t g = 0; g < gaps.size(); ++g) gap_of_block[gaps[g].block] = static_cast<std::ptrdiff_t>(g);
  Eigen::Index rows = 0, largest = 0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (rotate_ && blocks[b].route == FamilyRoute::rotated) continue;
    const auto m = static_cast<Eigen::Index>(blocks[b].rows.size());
    dense_.push_back(b);
    gap_of_.push_back(gap_of_block[b]);
    offset_.push_back(rows);
    rows += m;
    // A gapped family's buffers are sized only if it ever falls back.
    if (gap_of_block[b] < 0) largest = std::max(largest, m);
  }
  gap_done_.assign(rotate_ ? gaps.size() : 0, 0);
  if (rotate_) {
    Eigen::Index from = 0, widest = 0, most = 0;
    for (const Gap& gap : gaps) {
      if (gap.first > from) plain_.push_back({from, gap.first});
      from = gap.first + gap.count;
      widest = std::max(widest, gap.count);
      most = std::max(most, gap.missing[0].rows() + gap.missing[1].rows());
    }
    if (model.directions().eigenvalues.size() > from) plain_.push_back({from, model.directions().eigenvalues.size()});
    for (Eigen::VectorXd* v : {&inverse00_, &inverse01_, &inverse11_, &t00_, &t01_, &t11_}) v->resize(widest);
    const Eigen::Index cols = 1 + p_ + 2 * most_raised;
    for (std::size_t t = 0; t < 2; ++t) {
      columns_[t].resize(widest, cols);
      applied_[t].resize(widest, cols);
      back_[t].resize(widest, cols);
      raised_z_[t].resize(widest, 2 * most_raised);
    }
    at_missing_.resize(most, cols);
    capacitance_.resize(2 * most_raised, 2 * most_raised);
    capacitance_inverse_.resize(2 * most_raised, 2 * most_raised);
    lifted_.resize(2 * most_raised, 1 + p_);
    raised_.reserve(static_cast<std::size_t>(most_raised) + 1);
    missing_block_.resize(most, most);
    missing_inverse_.resize(most, most);
    scaled_.resize(most, widest);
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
  for (const auto& [first, end] : plain_)
  for (Eigen::Index d = first; d < end; ++d) {
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
    if (gap_of_[f] >= 0 && gap_done_[static_cast<std::size_t>(gap_of_[f])]) continue;
    // A family of thousands takes a second to factor: a stop is polled before each.
    if (interrupt::requested()) return false;
    const Block& block = blocks[dense_[f]];
    const auto m = static_cast<Eigen::Index>(block.rows.size());
    const Eigen::Index at = offset_[f];
    if (m > covariance_.rows()) {
      covariance_.resize(m, m);
      solves_.resize(m, 1 + p_ + m);
      scratch_.resize(m, p_);
      residual_.resize(m);
    }
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

bool Evaluator::accumulate_gap(const Gap& gap, const Eigen::Matrix2d& genetic,
                                            const Eigen::Matrix2d& residual, bool with_gradient) {
  const Directions& directions = model_->directions();
  const Eigen::Index n = gap.count, p = p_;
  const Eigen::MatrixXd& q0 = gap.missing[0];
  const Eigen::MatrixXd& q1 = gap.missing[1];
  const Eigen::Index u0 = q0.rows(), u1 = q1.rows(), u = u0 + u1;

  // C_d = lambda_d G + E and its extreme eigenvalues (the smaller as det / larger, without
  // cancellation). A direction whose C_d is near singular beside the largest (lambda_d near 0
  // while E is, say) is raised by gamma I, and the measured block of gamma I there is taken
  // out again below: C_d's inverse would otherwise cost the correction its digits.
  double largest = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) {
    const double lambda = directions.eigenvalues[gap.first + i];
    const double a = lambda * genetic(0, 0) + residual(0, 0), b = lambda * genetic(0, 1) + residual(0, 1),
                 c = lambda * genetic(1, 1) + residual(1, 1);
    const double top = 0.5 * (a + c) + std::hypot(0.5 * (a - c), b);
    if (!(top >= 0.0) || !std::isfinite(top)) return false;
    largest = std::fmax(largest, top);
    t00_[i] = (a * c - b * b) / top;  // the smaller eigenvalue, for now
  }
  const double gamma = largest;
  if (!(gamma > 0.0)) return false;
  raised_.clear();
  for (Eigen::Index i = 0; i < n; ++i)
    if (!(t00_[i] * gap_condition_limit > largest)) raised_.push_back(i);
  const auto b = static_cast<Eigen::Index>(raised_.size());
  if (b > most_raised) return false;
  const Eigen::Index cols = 1 + p + 2 * b;

  // The columns v (y, the design's, and per raised direction d and trait t the measured part
  // of e_(d,t)), trait by trait in the eigenbasis; H v with H = (C + gamma J)^-1.
  double log_det = 0.0;
  std::array<Eigen::Ref<Eigen::MatrixXd>, 2> v = {columns_[0].topLeftCorner(n, cols), columns_[1].topLeftCorner(n, cols)};
  for (Eigen::Index i = 0; i < n; ++i) {
    const Eigen::Index d = gap.first + i;
    v[0](i, 0) = direction_y_(d, 0);
    v[1](i, 0) = direction_y_(d, 1);
    for (Eigen::Index j = 0; j < p; ++j) {
      v[0](i, 1 + j) = directions.design(d, j);
      v[1](i, 1 + j) = directions.design(d, p + j);
    }
  }
  for (std::size_t t = 0; t < 2; ++t) {
    const Eigen::MatrixXd& q = gap.missing[t];
    auto extra = v[t].middleCols(1 + p, 2 * b);
    extra.setZero();
    for (Eigen::Index k = 0; k < b; ++k) {
      auto column = extra.col(static_cast<Eigen::Index>(t) * b + k);
      column.noalias() = -(q.transpose() * q.col(raised_[static_cast<std::size_t>(k)]));
      column[raised_[static_cast<std::size_t>(k)]] += 1.0;
    }
  }
  for (Eigen::Index i = 0, next = 0; i < n; ++i) {
    const double lambda = directions.eigenvalues[gap.first + i];
    const bool raise = next < b && raised_[static_cast<std::size_t>(next)] == i;
    if (raise) ++next;
    const double shift = raise ? gamma : 0.0;
    const std::optional<Inverse2> inverse =
        inverse2(lambda * genetic(0, 0) + residual(0, 0) + shift, lambda * genetic(0, 1) + residual(0, 1),
                 lambda * genetic(1, 1) + residual(1, 1) + shift);
    if (!inverse) return false;
    const auto [i00, i01, i11, value] = *inverse;
    log_det += value;
    inverse00_[i] = i00;
    inverse01_[i] = i01;
    inverse11_[i] = i11;
    for (Eigen::Index j = 0; j < cols; ++j) {
      const double v0 = v[0](i, j), v1 = v[1](i, j);
      applied_[0](i, j) = i00 * v0 + i01 * v1;
      applied_[1](i, j) = i01 * v0 + i11 * v1;
    }
  }

  // H's block at the values not measured (lower triangle), and H v there.
  auto block = missing_block_.topLeftCorner(u, u);
  auto scaled = scaled_.topLeftCorner(std::max(u0, u1), n);
  const auto head = [&](const Eigen::VectorXd& w) { return w.head(n).asDiagonal(); };
  // The diagonal blocks as rank updates by Q diag(sqrt(H_tt)), half a product's work: H_tt > 0
  // on every direction, H being positive definite.
  const auto root = [&](const Eigen::VectorXd& w) { return w.head(n).cwiseSqrt().asDiagonal(); };
  scaled.topRows(u0).noalias() = q0 * root(inverse00_);
  block.topLeftCorner(u0, u0).setZero();
  block.topLeftCorner(u0, u0).selfadjointView<Eigen::Lower>().rankUpdate(scaled.topRows(u0));
  scaled.topRows(u1).noalias() = q1 * head(inverse01_);
  block.bottomLeftCorner(u1, u0).noalias() = scaled.topRows(u1) * q0.transpose();
  scaled.topRows(u1).noalias() = q1 * root(inverse11_);
  block.bottomRightCorner(u1, u1).setZero();
  block.bottomRightCorner(u1, u1).selfadjointView<Eigen::Lower>().rankUpdate(scaled.topRows(u1));
  auto solved = at_missing_.topLeftCorner(u, cols);
  solved.topRows(u0).noalias() = q0 * applied_[0].topLeftCorner(n, cols);
  solved.bottomRows(u1).noalias() = q1 * applied_[1].topLeftCorner(n, cols);
  const auto factor = dense::FactorView::make(block);
  if (!factor) return false;
  log_det += factor->logdet();
  factor->solve_in_place(solved);
  back_[0].topLeftCorner(n, cols).noalias() = q0.transpose() * solved.topRows(u0);
  back_[1].topLeftCorner(n, cols).noalias() = q1.transpose() * solved.bottomRows(u1);

  // z = the measured block's inverse applied to v, carried into the eigenbasis (zero at the
  // values not measured): H (v - correction), into applied_.
  for (Eigen::Index i = 0; i < n; ++i) {
    const double i00 = inverse00_[i], i01 = inverse01_[i], i11 = inverse11_[i];
    for (Eigen::Index j = 0; j < cols; ++j) {
      const double r0 = v[0](i, j) - back_[0](i, j), r1 = v[1](i, j) - back_[1](i, j);
      applied_[0](i, j) = i00 * r0 + i01 * r1;
      applied_[1](i, j) = i01 * r0 + i11 * r1;
    }
  }
  const auto z = [&](std::size_t t) { return applied_[t].topLeftCorner(n, cols); };

  // The raised directions taken out: V_o = M - gamma A A' with A the extra columns, so
  // V_o^-1 = M^-1 + M^-1 A F A' M^-1 with F = (I / gamma - A' M^-1 A)^-1.
  auto capacitance = capacitance_.topLeftCorner(2 * b, 2 * b);
  auto lifted = lifted_.topLeftCorner(2 * b, 1 + p);
  if (b > 0) {
    const auto extra = [&](std::size_t t) { return v[t].middleCols(1 + p, 2 * b); };
    capacitance.noalias() = -(extra(0).transpose() * z(0).middleCols(1 + p, 2 * b));
    capacitance.noalias() -= extra(1).transpose() * z(1).middleCols(1 + p, 2 * b);
    capacitance.diagonal().array() += 1.0 / gamma;
    lifted.noalias() = extra(0).transpose() * z(0).leftCols(1 + p);
    lifted.noalias() += extra(1).transpose() * z(1).leftCols(1 + p);
    const auto taken = dense::FactorView::make(capacitance);
    if (!taken) return false;
    log_det += taken->logdet() + static_cast<double>(2 * b) * std::log(gamma);
    taken->solve_in_place(lifted);
    if (with_gradient) {
      // The raised columns of z times F, for the trace weights.
      auto f = capacitance_inverse_.topLeftCorner(2 * b, 2 * b);
      f.setIdentity();
      taken->solve_in_place(f);
      for (std::size_t t = 0; t < 2; ++t)
        raised_z_[t].topLeftCorner(n, 2 * b).noalias() = z(t).middleCols(1 + p, 2 * b) * f;
    }
    for (std::size_t t = 0; t < 2; ++t)
      z(t).leftCols(1 + p).noalias() += z(t).middleCols(1 + p, 2 * b) * lifted;
  }
  log_det_ += log_det;

  for (Eigen::Index i = 0; i < n; ++i) {
    const Eigen::Index d = gap.first + i;
    const double y0 = v[0](i, 0), y1 = v[1](i, 0);
    const double z0 = applied_[0](i, 0), z1 = applied_[1](i, 0);
    direction_z_(d, 0) = z0;
    direction_z_(d, 1) = z1;
    quadratic_ += y0 * z0 + y1 * z1;
    double* w0 = &direction_w_(d, 0);
    double* w1 = w0 + p;
    for (Eigen::Index j = 0; j < p; ++j) {
      w0[j] = applied_[0](i, 1 + j);
      w1[j] = applied_[1](i, 1 + j);
      c_[j] += v[0](i, 1 + j) * z0 + v[1](i, 1 + j) * z1;
    }
    for (Eigen::Index j = 0; j < p; ++j)
      for (Eigen::Index k = j; k < p; ++k) a_(k, j) += v[0](i, 1 + k) * w0[j] + v[1](i, 1 + k) * w1[j];
  }
  if (!with_gradient) return true;

  // The trace weights: per direction, the 2 x 2 block of H less H R' S R H, where S inverts
  // H's block at the values not measured and R carries them into the eigenbasis, plus that of
  // Z F Z' for the raised directions' columns Z.
  auto inverse = missing_inverse_.topLeftCorner(u, u);
  inverse.setIdentity();
  factor->solve_in_place(inverse);
  const auto diagonal_of = [&](const Eigen::MatrixXd& left, Eigen::Index row, Eigen::Index col, Eigen::Index rows,
                               Eigen::Index inner, const Eigen::MatrixXd& right, Eigen::VectorXd& out) {
    scaled.topRows(rows).noalias() = inverse.block(row, col, rows, inner) * right;
    out.head(n) = left.cwiseProduct(scaled.topRows(rows)).colwise().sum().transpose();
  };
  diagonal_of(q0, 0, 0, u0, u0, q0, t00_);
  diagonal_of(q0, 0, u0, u0, u1, q1, t01_);
  diagonal_of(q1, u0, u0, u1, u1, q1, t11_);
  DirectionSums trace;
  for (Eigen::Index i = 0; i < n; ++i) {
    const double i00 = inverse00_[i], i01 = inverse01_[i], i11 = inverse11_[i];
    const double t00 = t00_[i], t01 = t01_[i], t11 = t11_[i];
    // M T M with M = [[i00, i01], [i01, i11]] and T = [[t00, t01], [t01, t11]].
    const double m00 = i00 * t00 + i01 * t01, m01 = i00 * t01 + i01 * t11;
    const double m10 = i01 * t00 + i11 * t01, m11 = i01 * t01 + i11 * t11;
    double w00 = i00 - (m00 * i00 + m01 * i01), w01 = i01 - (m00 * i01 + m01 * i11),
           w11 = i11 - (m10 * i01 + m11 * i11);
    for (Eigen::Index k = 0; k < 2 * b; ++k) {
      const double a0 = raised_z_[0](i, k), a1 = raised_z_[1](i, k);
      const double c0 = applied_[0](i, 1 + p + k), c1 = applied_[1](i, 1 + p + k);
      w00 += a0 * c0;
      w01 += a0 * c1;
      w11 += a1 * c1;
    }
    trace.add(directions.eigenvalues[gap.first + i], w00, w01, w11);
  }
  trace.into(trace_);
  return true;
}

void Evaluator::weigh_directions(bool reml) {
  const Directions& directions = model_->directions();
  const Eigen::Index p = p_;
  DirectionSums residuals, design;
  std::vector<std::array<Eigen::Index, 2>> ranges = plain_;
  for (std::size_t g = 0; g < gap_done_.size(); ++g) {
    const Gap& gap = directions.gaps[g];
    if (gap_done_[g]) ranges.push_back({gap.first, gap.first + gap.count});
  }
  for (const auto& [first, end] : ranges)
  for (Eigen::Index d = first; d < end; ++d) {
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
    if (gap_of_[f] >= 0 && gap_done_[static_cast<std::size_t>(gap_of_[f])]) continue;
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
  for (std::size_t g = 0; g < gap_done_.size(); ++g) {
    gap_done_[g] = accumulate_gap(model_->directions().gaps[g], cov.genetic, cov.residual, with_gradient) ? 1 : 0;
  }
  if (!accumulate_families(cov.genetic, cov.residual, with_gradient)) return std::nullopt;

  // A's lower triangle is all the factor reads; it is factored in place.
  const auto a_factor = dense::FactorView::make(a_);
  if (!a_factor) return std::nullopt;
  beta_ = c_;
  a_factor->solve_in_place(beta_);
  const double q = quadratic_ - dot(c_.data(), beta_.data(), p_);
  if (!rank::above_rounding(q, quadratic_, static_cast<std::size_t>(p_))) return std::nullopt;

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
  Covariances& entries = result.covariance_gradient;
  entries.genetic = 0.5 * (trace_.genetic - residuals_.genetic);
  entries.residual = 0.5 * (trace_.residual - residuals_.residual);
  if (reml) {
    entries.genetic -= 0.5 * design_.genetic;
    entries.residual -= 0.5 * design_.residual;
  }
  return result;
}

}  // namespace kestrune::bivariate
