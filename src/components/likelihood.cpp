// The likelihood of the components model, block by block, and its exact gradient.
#include <algorithm>
#include <cmath>

#include "components/model.hpp"
#include "numerics/dense.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/rank.hpp"
#include "numerics/singular_reml.hpp"

namespace kestrune::components {
namespace {

constexpr double ln_2pi = 1.8378770664093453;

bool admissible(std::span<const double> coefficients, std::span<const std::size_t> signed_components) {
  for (const double c : coefficients)
    if (!std::isfinite(c)) return false;
  for (std::size_t j = 0; j < coefficients.size(); ++j) {
    const bool may_be_negative =
        std::find(signed_components.begin(), signed_components.end(), j) != signed_components.end();
    if (coefficients[j] < 0.0 && !may_be_negative) return false;
  }
  return std::any_of(coefficients.begin(), coefficients.end(), [](double c) { return c > 0.0; });
}

// sum over r, c of a(c, r) b(r, c): trace(a b), in the order the REML term fixes.
double trace_of_product(const Eigen::Ref<const Eigen::MatrixXd>& a, const Eigen::Ref<const Eigen::MatrixXd>& b) {
  double sum = 0.0;
  for (Eigen::Index r = 0; r < b.rows(); ++r)
    for (Eigen::Index c = 0; c < b.cols(); ++c) sum += a(c, r) * b(r, c);
  return sum;
}

// One pass over k, column by column: returns trace(a k) for a symmetric a, the sum of the
// columns' dot products, and writes k z into kz. Each column of k is read once, while it is
// in cache, and kz stays there throughout.
double trace_and_product(const Eigen::Ref<const Eigen::MatrixXd>& a, const Eigen::MatrixXd& k,
                         const Eigen::Ref<const Eigen::MatrixXd>& z, Eigen::Ref<Eigen::MatrixXd> kz) {
  double trace = 0.0;
  kz.setZero();
  for (Eigen::Index c = 0; c < k.cols(); ++c) {
    const auto column = k.col(c);
    trace += a.col(c).dot(column);
    for (Eigen::Index q = 0; q < z.cols(); ++q) kz.col(q) += z(c, q) * column;
  }
  return trace;
}

// What each component's gradient entry sums over the blocks.
struct Sums {
  std::vector<double> trace, quadratic;  // trace(V^-1 K_j), e'K_j e
  std::vector<Eigen::MatrixXd> reml;     // W'K_j W, REML only
};

}  // namespace

std::optional<Evaluation> ComponentModel::evaluate_with_signs(std::span<const double> coefficients,
                                                              const Eigen::VectorXd& y, bool reml,
                                                              bool want_gradient,
                                                              std::span<const std::size_t> signed_components,
                                                              bool singular_faces) const {
  if (!admissible(coefficients, signed_components)) return std::nullopt;
  // A search polls here, at every evaluation: one evaluation of a large dense block takes seconds.
  if (interrupt::requested()) return std::nullopt;
  auto solved = solve_blocks(coefficients, y, want_gradient);
  // Under REML with the residual at 0, where V is singular at rounding only along the design's span,
  // the likelihood is its limit on that face, through V's pseudo-inverse. Whether a Cholesky factor
  // of such a V exists is a matter of its last bits, and its solves carry the rounding of the
  // smallest eigenvalue into the gradient, whole units of it.
  if (at_singular_face(coefficients, solved)) {
    if (!singular_faces) return std::nullopt;
    if (reml)
      if (auto on_face = evaluate_on_null_face(coefficients, y, want_gradient)) return on_face;
  }
  if (!solved) return std::nullopt;
  const auto a = dense::DenseFactor::make(solved->xtvx);
  if (!a) return std::nullopt;
  Eigen::VectorXd beta = a->solve_vector(solved->xtvr);
  const double ypy = solved->quadratic - solved->xtvr.dot(beta);
  if (!rank::above_rounding(ypy, solved->quadratic, p())) return std::nullopt;

  const double n = static_cast<double>(n_), p = static_cast<double>(design_.cols());
  double value = 0.5 * (ypy + (solved->logdet + n * ln_2pi));
  if (reml) value = value + (0.5 * (a->logdet() - xtx_logdet_) + (p / 2.0) * (-ln_2pi));

  Evaluation evaluation{value, Eigen::VectorXd::Zero(static_cast<Eigen::Index>(k())), std::move(beta),
                        a->inverse(), ypy};
  if (want_gradient) evaluation.gradient = gradient(*solved->solves, evaluation.beta, evaluation.covariance, reml);
  return evaluation;
}

// The contrasts A orthogonal to the design lie in V0's range, and ln det A'V0 A is
// ln pdet V0 + ln det X2'V0^+ X2: the REML likelihood, a function of A'V0 A, is finite and smooth there.
std::optional<ComponentModel::NullFace> ComponentModel::null_face(std::span<const double> coefficients,
                                                                  const Eigen::VectorXd& rhs) const {
  const Eigen::Index p = design_.cols();
  const Eigen::MatrixXd& basis = fixed_design_->orthogonal().columns();
  const Eigen::MatrixXd q = singular_reml::orthonormal(basis);

  std::vector<singular_reml::NullSplit> splits;
  splits.reserve(families_.size());
  singular_reml::NullDirections directions(p);
  double logdet = 0.0;
  for (std::size_t b = 0; b < families_.size(); ++b) {
    const Family& family = families_[b];
    auto split = singular_reml::split_null(assemble(matrices_, family.indices, coefficients));
    if (!split) return std::nullopt;
    const Eigen::MatrixXd rows = q(family.indices, Eigen::all);
    if (!directions.add(rows, *split)) return std::nullopt;
    for (Eigen::Index i = split->null; i < split->values.size(); ++i) logdet += std::log(split->values(i));
    splits.push_back(std::move(*split));
  }
  auto found = directions.complement();
  if (!found) return std::nullopt;
  Eigen::MatrixXd complement = std::move(*found);
  const Eigen::Index r = complement.cols();
  const Eigen::MatrixXd x2 = q * complement;

  const Family& last = families_.back();
  const auto last_size = static_cast<Eigen::Index>(last.indices.size());
  BlockSolves solves{Eigen::VectorXd(last.square_offset + last_size * last_size), Eigen::VectorXd(n_),
                     Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(n_), p)};
  Eigen::MatrixXd xtvx = Eigen::MatrixXd::Zero(r, r);
  Eigen::VectorXd xtvr = Eigen::VectorXd::Zero(r);
  double quadratic = 0.0;
  for (std::size_t b = 0; b < families_.size(); ++b) {
    const Family& family = families_[b];
    const auto s = static_cast<Eigen::Index>(family.indices.size());
    Eigen::Map<Eigen::MatrixXd> pseudo(solves.inverses.data() + family.square_offset, s, s);
    singular_reml::pseudo_inverse(splits[b], pseudo);
    const Eigen::VectorXd rb = rhs(family.indices);
    const Eigen::MatrixXd xb = x2(family.indices, Eigen::all);
    const Eigen::VectorXd vr = pseudo * rb;
    const Eigen::MatrixXd vx = pseudo * xb;
    solves.solved_response.segment(family.offset, s) = vr;
    solves.solved_design.block(family.offset, 0, s, r) = vx;
    xtvx.noalias() += xb.transpose() * vx;
    xtvr.noalias() += xb.transpose() * vr;
    quadratic += rb.dot(vr);
  }
  NullFace face{std::move(solves), std::move(complement), Eigen::VectorXd::Zero(p), Eigen::MatrixXd::Zero(p, p),
                logdet, quadratic, quadratic};
  if (r > 0) {
    const auto a = dense::DenseFactor::make(xtvx);
    if (!a) return std::nullopt;
    face.beta.head(r) = a->solve_vector(xtvr);
    face.covariance.topLeftCorner(r, r) = a->inverse();
    face.logdet += a->logdet();
    face.residual_quadratic -= xtvr.dot(face.beta.head(r));
  }
  return face;
}

std::optional<Evaluation> ComponentModel::evaluate_on_null_face(std::span<const double> coefficients,
                                                                const Eigen::VectorXd& y, bool want_gradient) const {
  const auto face = null_face(coefficients, y);
  if (!face) return std::nullopt;
  const Eigen::Index p = design_.cols();
  if (!rank::above_rounding(face->residual_quadratic, face->quadratic, static_cast<std::size_t>(p)))
    return std::nullopt;
  const double rows = static_cast<double>(n_) - static_cast<double>(p);
  const double value = 0.5 * (face->residual_quadratic + face->logdet + rows * ln_2pi);

  // The fitted mean is y - V0 P y: its coefficients on Q, then on the basis's own columns.
  Eigen::VectorXd mean = y;
  for (std::size_t b = 0; b < families_.size(); ++b) {
    const BlockSolve block = block_solve(face->solves, b);
    const Eigen::VectorXd e = block.solved_response - block.solved_design * face->beta;
    const Eigen::VectorXd ve = assemble(matrices_, block.indices, coefficients) * e;
    for (Eigen::Index a = 0; a < ve.size(); ++a) mean(static_cast<Eigen::Index>(block.indices[a])) -= ve(a);
  }
  const Eigen::MatrixXd& basis = fixed_design_->orthogonal().columns();
  const Eigen::Index r = face->complement.cols();
  singular_reml::FaceEffects effects =
      singular_reml::face_effects(basis, mean, face->complement, face->covariance.topLeftCorner(r, r));
  Evaluation evaluation{value, Eigen::VectorXd::Zero(static_cast<Eigen::Index>(k())), std::move(effects.beta),
                        std::move(effects.covariance), face->residual_quadratic};
  if (want_gradient) evaluation.gradient = gradient(face->solves, face->beta, face->covariance, true);
  return evaluation;
}

// 0.5 (trace(V^-1 K_j) - e'K_j e) with e = V^-1 (y - X beta), and for REML the further
// -0.5 trace(C W'K_j W), C = (X'V^-1 X)^-1: the derivative of the value in each coefficient.
Eigen::VectorXd ComponentModel::gradient(const BlockSolves& solves, const Eigen::VectorXd& beta,
                                         const Eigen::MatrixXd& c, bool reml) const {
  const std::size_t m = this->m();
  const Eigen::Index p = design_.cols();
  Sums sums{std::vector<double>(m + 1, 0.0), std::vector<double>(m + 1, 0.0),
            std::vector<Eigen::MatrixXd>(reml ? m + 1 : 0, Eigen::MatrixXd::Zero(p, p))};
  // Column 0 holds e, the rest V^-1 X; one product with K_j then serves e'K_j e and W'K_j W.
  Eigen::MatrixXd ew(largest_, 1 + p), kew(largest_, reml ? 1 + p : 1);
  for (std::size_t b = 0; b < families_.size(); ++b) {
    const Family& family = families_[b];
    const BlockSolve block = block_solve(solves, b);
    const auto s = static_cast<Eigen::Index>(family.indices.size());
    auto ew_b = ew.topRows(s);
    auto e_b = ew_b.col(0);
    e_b.noalias() = block.solved_response - block.solved_design * beta;
    ew_b.rightCols(p) = block.solved_design;
    auto kew_b = kew.topRows(s);
    for (std::size_t j = 0; j < m; ++j) {
      const Eigen::MatrixXd& k = kernel(b, j);
      sums.trace[j] += trace_and_product(block.inverse, k, ew_b.leftCols(kew.cols()), kew_b);
      sums.quadratic[j] += e_b.dot(kew_b.col(0));
      if (reml) sums.reml[j].noalias() += block.solved_design.transpose() * kew_b.rightCols(p);
    }
    double trace = 0.0, quadratic = 0.0;  // the residual's basis is the identity
    for (Eigen::Index r = 0; r < s; ++r) {
      trace += block.inverse(r, r);
      quadratic += e_b(r) * e_b(r);
    }
    sums.trace[m] += trace;
    sums.quadratic[m] += quadratic;
    if (reml) sums.reml[m].noalias() += block.solved_design.transpose() * block.solved_design;
  }
  Eigen::VectorXd g(static_cast<Eigen::Index>(m + 1));
  for (std::size_t j = 0; j <= m; ++j) {
    double gj = (sums.trace[j] - sums.quadratic[j]) * 0.5;
    if (reml) gj = gj + trace_of_product(c, sums.reml[j]) * (-0.5);
    g(static_cast<Eigen::Index>(j)) = gj;
  }
  return g;
}

Eigen::MatrixXd ComponentModel::information(const BlockSolves& solves, const Eigen::VectorXd& beta,
                                            const Eigen::MatrixXd& c, bool reml) const {
  const auto k = static_cast<Eigen::Index>(this->k()), p = design_.cols();
  const std::size_t m = this->m();
  Eigen::MatrixXd quadratic = Eigen::MatrixXd::Zero(k, k), along = Eigen::MatrixXd::Zero(p, k);
  Eigen::MatrixXd q(largest_, k);
  for (std::size_t b = 0; b < families_.size(); ++b) {
    const BlockSolve block = block_solve(solves, b);
    const auto s = static_cast<Eigen::Index>(block.indices.size());
    const Eigen::VectorXd e = block.solved_response - block.solved_design * beta;
    auto q_b = q.topRows(s);
    for (std::size_t j = 0; j < m; ++j) q_b.col(static_cast<Eigen::Index>(j)).noalias() = kernel(b, j) * e;
    q_b.col(static_cast<Eigen::Index>(m)) = e;
    quadratic.noalias() += q_b.transpose() * (block.inverse * q_b);
    if (reml) along.noalias() += block.solved_design.transpose() * q_b;
  }
  if (reml) quadratic.noalias() -= along.transpose() * c * along;
  return 0.5 * quadratic;
}

std::optional<Eigen::MatrixXd> ComponentModel::average_information(std::span<const double> coefficients,
                                                                   const Eigen::VectorXd& y, bool reml,
                                                                   std::span<const std::size_t> signed_components) const {
  if (!admissible(coefficients, signed_components)) return std::nullopt;
  auto solved = solve_blocks(coefficients, y, true);
  if (reml && at_singular_face(coefficients, solved))
    if (auto face = null_face(coefficients, y)) return information(face->solves, face->beta, face->covariance, true);
  if (!solved) return std::nullopt;
  const auto a = dense::DenseFactor::make(solved->xtvx);
  if (!a) return std::nullopt;
  return information(*solved->solves, a->solve_vector(solved->xtvr), a->inverse(), reml);
}

Result<double> ComponentModel::residual_only_variance(const Eigen::VectorXd& y, bool reml) const {
  const double rss = fixed_design_->centre(y).residual.squaredNorm();
  const std::size_t p = static_cast<std::size_t>(design_.cols());
  const std::size_t d = reml ? (p > n_ ? 0 : n_ - p) : n_;
  if (d == 0) return fail("COMPONENTS_REML_NO_RESIDUAL_DF");
  const double sigma2 = rss / static_cast<double>(d);
  if (!(std::isfinite(sigma2) && sigma2 > 0.0)) return fail("COMPONENTS_RESPONSE_CONSTANT");
  return sigma2;
}

Result<double> ComponentModel::residual_only_loglik(const Eigen::VectorXd& y, bool reml) const {
  const auto sigma2 = residual_only_variance(y, reml);
  if (!sigma2) return std::unexpected(sigma2.error());
  const std::size_t p = static_cast<std::size_t>(design_.cols());
  const double d = reml ? static_cast<double>(n_ - p) : static_cast<double>(n_);
  return (d * (-0.5)) * ((std::log(*sigma2) + ln_2pi) + 1.0);
}

}  // namespace kestrune::components
