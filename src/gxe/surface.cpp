#include "gxe/surface.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string>

#include "numerics/blocks.hpp"
#include "numerics/dense.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/rank.hpp"
#include "numerics/restricted_face.hpp"
#include "numerics/singular_reml.hpp"

namespace kestrune::gxe {
namespace {

constexpr double ln_2pi = 1.8378770664093453;
constexpr std::array<double, 4> powered_shapes = {0.5, 1.0, 1.5, 2.0};

bool is_random_regression(Surface surface) { return surface == Surface::RandomRegression; }

// A plain decimal: the shortest digits that read back to the same double, never an exponent,
// no decimal point for an integral value ("3", "0.7", "1.25").
std::string plain_decimal(double value) {
  if (std::isnan(value)) return "NaN";
  std::array<char, 400> buffer{};
  const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
  return std::string(buffer.data(), written.ptr);
}

// Ordered sums where the likelihood fixes the order.
double dot(const Eigen::Ref<const Eigen::VectorXd>& a, const Eigen::Ref<const Eigen::VectorXd>& b) {
  double sum = 0.0;
  for (Eigen::Index i = 0; i < a.size(); ++i) sum += a(i) * b(i);
  return sum;
}

// sum_ij a(i, j) b(j, i): the trace of a b.
double trace_of_product(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  double sum = 0.0;
  for (Eigen::Index i = 0; i < a.rows(); ++i)
    for (Eigen::Index j = 0; j < a.cols(); ++j) sum += a(i, j) * b(j, i);
  return sum;
}

// r . (D r), D r accumulated down D's columns, which are contiguous, into the scratch `dr`.
double quadratic_form(const Eigen::MatrixXd& d, const Eigen::VectorXd& r, Eigen::VectorXd& dr) {
  dr.setZero(r.size());
  for (Eigen::Index j = 0; j < r.size(); ++j)
    for (Eigen::Index i = 0; i < r.size(); ++i) dr(i) += d(i, j) * r(j);
  return dot(r, dr);
}

// What the gradient keeps of one family.
struct BlockTerms {
  Eigen::MatrixXd inverse;       // V_b^-1
  Eigen::VectorXd solved_y;      // V_b^-1 y_b
  Eigen::MatrixXd solved_design; // V_b^-1 X_b
  Eigen::MatrixXd genetic;       // V_b's genetic part (decaying-correlation surfaces)
};

}  // namespace

// ---- surfaces -----------------------------------------------------------------------------

std::size_t parameter_count(Surface surface) { return is_random_regression(surface) ? 6 : 5; }

std::optional<double> shape_of(Surface surface) {
  switch (surface) {
    case Surface::RandomRegression: return std::nullopt;
    case Surface::Exponential: return 1.0;
    default: return powered_shapes[static_cast<std::size_t>(surface)];
  }
}

std::pair<std::vector<double>, std::vector<double>> bounds(Surface surface) {
  if (is_random_regression(surface))
    return {{-15.0, -INFINITY, -INFINITY, -15.0, -INFINITY, -INFINITY},
            {15.0, INFINITY, INFINITY, 15.0, INFINITY, INFINITY}};
  return {{-INFINITY, -INFINITY, 0.0, -INFINITY, -INFINITY}, {INFINITY, INFINITY, INFINITY, INFINITY, INFINITY}};
}

Result<Surface> name_surface(std::string_view text, double shape) {
  if (text == "powered_exponential") {
    for (std::size_t i = 0; i < powered_shapes.size(); ++i)
      if (std::fabs(shape - powered_shapes[i]) < 1e-9) return static_cast<Surface>(i);
    return fail("GXE_SHAPE_NOT_ON_THE_GRID",
                plain_decimal(shape) +
                    ", wanted one of 0.5, 1.0, 1.5, 2.0. The shape is chosen and not fitted, because a shape and a "
                    "decay rate trade off against each other and a search over both wanders.");
  }
  if (text == "random_regression") return Surface::RandomRegression;
  if (text == "exponential") return Surface::Exponential;
  return fail("GXE_UNKNOWN_SURFACE",
              std::string(text) + ", wanted exponential, random_regression or powered_exponential");
}

Theta six_slots(std::span<const double> theta) {
  Theta slots{};
  for (std::size_t i = 0; i < theta.size() && i < slots.size(); ++i) slots[i] = theta[i];
  return slots;
}

double genetic_covariance(Surface surface, const Theta& t, double e1, double e2) {
  if (is_random_regression(surface)) {
    const double a = std::exp(t[0]);
    return a * a + (e1 + e2) * a * t[1] + e1 * e2 * (t[1] * t[1] + t[2] * t[2]);
  }
  // At one environment the decay factor is exp(-t2 * 0) = 1 exactly (every shape is positive): the
  // variance is the product of the two equal roots alone, to the last bit.
  if (e1 == e2 && std::isfinite(t[2])) {
    const double root = std::exp((t[0] + t[1] * e1) / 2.0);
    return root * root;
  }
  const double distance = std::pow(std::fabs(e1 - e2), *shape_of(surface));
  return std::exp((t[0] + t[1] * e1) / 2.0) * std::exp((t[0] + t[1] * e2) / 2.0) * std::exp(-t[2] * distance);
}

double residual_variance(Surface surface, const Theta& t, double e) {
  if (is_random_regression(surface)) {
    const double b = std::exp(t[3]);
    return b * b + 2.0 * e * b * t[4] + e * e * (t[4] * t[4] + t[5] * t[5]);
  }
  return std::exp(t[3] + t[4] * e);
}

Theta rescaled(Surface surface, const Theta& t, double c) {
  Theta moved = t;
  if (is_random_regression(surface)) {
    const double root = std::sqrt(c);
    moved[0] = t[0] + 0.5 * std::log(c);
    moved[3] = t[3] + 0.5 * std::log(c);
    for (std::size_t slot : {1, 2, 4, 5}) moved[slot] = t[slot] * root;
    return moved;
  }
  moved[0] = t[0] + std::log(c);
  moved[3] = t[3] + std::log(c);
  return moved;
}

// ---- construction -------------------------------------------------------------------------

Result<GxeModel> GxeModel::build(Surface surface, const matrix_scan::Strided& relationship,
                                 std::span<const double> environment, const matrix_scan::Strided& design_view) {
  const auto n = static_cast<Eigen::Index>(design_view.rows);
  if (n == 0) return fail("GXE_NO_ROWS");
  if (relationship.rows != n || relationship.cols != n) return fail("GXE_RELATIONSHIP_WRONG_SIZE");
  if (static_cast<Eigen::Index>(environment.size()) != n) return fail("GXE_ENVIRONMENT_WRONG_LENGTH");
  blocks::Links links(static_cast<std::size_t>(n));
  if (!matrix_scan::scan(relationship, {}, &links).finite) return fail("GXE_RELATIONSHIP_NOT_FINITE");
  if (!matrix_scan::all_finite(design_view)) return fail("GXE_DESIGN_NOT_FINITE");
  for (double e : environment)
    if (!(std::fabs(e) < INFINITY)) return fail("GXE_ENVIRONMENT_NOT_FINITE");

  // Two equal columns can leave X'X a last pivot that rounding made positive: the rank is
  // judged on the columns themselves, by the rule every entry shares; a design wider than tall
  // is refused before it is copied.
  if (rank::too_wide(n, design_view.cols)) return fail("GXE_DESIGN_RANK_DEFICIENT");
  const Eigen::MatrixXd design = design_view.copy();
  if (!rank::full_column_rank(design)) return fail("GXE_DESIGN_RANK_DEFICIENT");

  GxeModel model{design_basis::Basis::orthogonal(design)};
  const Eigen::MatrixXd& basis = model.basis_.columns();
  const std::vector<blocks::Block> families = matrix_scan::families(relationship, links);
  model.environments_.assign(environment.begin(), environment.end());
  std::sort(model.environments_.begin(), model.environments_.end());
  model.environments_.erase(std::unique(model.environments_.begin(), model.environments_.end()),
                            model.environments_.end());
  model.n_ = static_cast<std::size_t>(n);
  model.p_ = design.cols();
  model.log_det_xtx_ = model.basis_.log_det_gram();
  model.surface_ = surface;

  const std::optional<double> shape = shape_of(surface);
  model.families_.reserve(families.size());
  for (const auto& rows : families) {
    const auto m = static_cast<Eigen::Index>(rows.size());
    Family family{rows, relationship.cut(rows), Eigen::VectorXd(m), Eigen::MatrixXd(),
                  Eigen::MatrixXd(m, design.cols())};
    for (Eigen::Index r = 0; r < m; ++r) {
      const auto row = static_cast<Eigen::Index>(rows[r]);
      family.environment(r) = environment[rows[r]];
      family.design.row(r) = basis.row(row);
    }
    if (shape) {
      family.distance.resize(m, m);
      for (Eigen::Index c = 0; c < m; ++c)
        for (Eigen::Index r = 0; r < m; ++r)
          family.distance(r, c) = std::pow(std::fabs(family.environment(r) - family.environment(c)), *shape);
    }
    model.families_.push_back(std::move(family));
  }
  return model;
}

// ---- likelihood ---------------------------------------------------------------------------

Eigen::MatrixXd GxeModel::family_covariance(const Family& family, const Theta& t) const {
  const Eigen::Index m = family.environment.size();
  const Eigen::VectorXd& e = family.environment;
  if (is_random_regression(surface_)) {
    Eigen::MatrixXd v(m, m);
    const double a = std::exp(t[0]), b = std::exp(t[3]);
    const double slope = t[1] * t[1] + t[2] * t[2];
    const double residual_slope = t[4] * t[4] + t[5] * t[5];
    for (Eigen::Index c = 0; c < m; ++c)
      for (Eigen::Index r = 0; r < m; ++r)
        v(r, c) = family.relationship(r, c) * (a * a + a * t[1] * (e(r) + e(c)) + slope * e(r) * e(c));
    for (Eigen::Index r = 0; r < m; ++r)
      v(r, r) += b * b + 2.0 * b * t[4] * e(r) + residual_slope * (e(r) * e(r));
    return v;
  }
  return covariance_from_genetic(family, t, family_genetic(family, t));
}

Eigen::MatrixXd GxeModel::family_genetic(const Family& family, const Theta& t) const {
  const Eigen::Index m = family.environment.size();
  const Eigen::VectorXd& e = family.environment;
  Eigen::VectorXd half(m);
  for (Eigen::Index r = 0; r < m; ++r) half(r) = std::exp((t[0] + t[1] * e(r)) / 2.0);
  Eigen::MatrixXd g(m, m);
  for (Eigen::Index c = 0; c < m; ++c)
    for (Eigen::Index r = 0; r < m; ++r)
      g(r, c) = family.relationship(r, c) * half(r) * half(c) * std::exp(-t[2] * family.distance(r, c));
  return g;
}

Eigen::MatrixXd GxeModel::covariance_from_genetic(const Family& family, const Theta& t, Eigen::MatrixXd genetic) const {
  const Eigen::VectorXd& e = family.environment;
  for (Eigen::Index r = 0; r < e.size(); ++r) genetic(r, r) += std::exp(t[3] + t[4] * e(r));
  return genetic;
}

void GxeModel::family_derivative(const Family& family, const Theta& t, std::size_t slot,
                                 Eigen::MatrixXd& out) const {
  const Eigen::Index m = family.environment.size();
  const Eigen::VectorXd& e = family.environment;
  const Eigen::MatrixXd& k = family.relationship;
  out.setZero(m, m);
  if (is_random_regression(surface_)) {
    const double a = std::exp(t[0]), b = std::exp(t[3]);
    switch (slot) {
      case 0:
        for (Eigen::Index c = 0; c < m; ++c)
          for (Eigen::Index r = 0; r < m; ++r) out(r, c) = k(r, c) * (2.0 * a * a + a * t[1] * (e(r) + e(c)));
        break;
      case 1:
        for (Eigen::Index c = 0; c < m; ++c)
          for (Eigen::Index r = 0; r < m; ++r) out(r, c) = k(r, c) * (a * (e(r) + e(c)) + 2.0 * t[1] * e(r) * e(c));
        break;
      case 2:
        for (Eigen::Index c = 0; c < m; ++c)
          for (Eigen::Index r = 0; r < m; ++r) out(r, c) = k(r, c) * (2.0 * t[2] * e(r) * e(c));
        break;
      case 3:
        for (Eigen::Index r = 0; r < m; ++r) out(r, r) = 2.0 * b * b + 2.0 * b * t[4] * e(r);
        break;
      case 4:
        for (Eigen::Index r = 0; r < m; ++r) out(r, r) = 2.0 * b * e(r) + 2.0 * t[4] * (e(r) * e(r));
        break;
      default:
        for (Eigen::Index r = 0; r < m; ++r) out(r, r) = 2.0 * t[5] * (e(r) * e(r));
        break;
    }
    return;
  }
  derivative_from_genetic(family, t, slot <= 2 ? family_genetic(family, t) : Eigen::MatrixXd(), slot, out);
}

void GxeModel::derivative_from_genetic(const Family& family, const Theta& t, const Eigen::MatrixXd& genetic,
                                       std::size_t slot, Eigen::MatrixXd& out) const {
  const Eigen::Index m = family.environment.size();
  const Eigen::VectorXd& e = family.environment;
  out.setZero(m, m);
  if (slot <= 2) {
    for (Eigen::Index c = 0; c < m; ++c)
      for (Eigen::Index r = 0; r < m; ++r) {
        const double g = genetic(r, c);
        out(r, c) = slot == 0 ? g : slot == 1 ? g * (e(r) + e(c)) / 2.0 : -g * family.distance(r, c);
      }
    return;
  }
  if (slot == 3)
    for (Eigen::Index r = 0; r < m; ++r) out(r, r) = std::exp(t[3] + t[4] * e(r));
  if (slot == 4)
    for (Eigen::Index r = 0; r < m; ++r) out(r, r) = e(r) * std::exp(t[3] + t[4] * e(r));
}

std::optional<Evaluation> GxeModel::evaluate(const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y,
                                             bool reml, bool with_gradient) const {
  return evaluate_with(theta, y, reml, with_gradient, false);
}

std::optional<Evaluation> GxeModel::evaluate_per_person(const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y,
                                                        bool reml) const {
  return evaluate_with(theta, y, reml, true, true);
}

std::optional<Evaluation> GxeModel::evaluate_with(const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y,
                                                  bool reml, bool with_gradient, bool per_person) const {
  for (double t : theta)
    if (!std::isfinite(t)) return std::nullopt;
  if (!is_random_regression(surface_) && theta[2] < 0.0) return std::nullopt;
  if (interrupt::requested()) return std::nullopt;  // polled at every evaluation of a search

  // Where the residual at some environment is at the rounding of a family's covariance, the
  // covariance may be singular and a Cholesky factor's last pivot noise: such families are
  // split, and where one is singular ML has no value and REML gives its limit (restricted_face).
  std::vector<std::optional<singular_reml::NullSplit>> splits;
  for (std::size_t f = 0; f < families_.size(); ++f) {
    const Family& family = families_[f];
    double least = INFINITY, largest = 0.0;
    for (Eigen::Index r = 0; r < family.environment.size(); ++r) {
      const double residual = residual_variance(surface_, theta, family.environment(r));
      const double genetic = family.relationship(r, r) * genetic_covariance(surface_, theta, family.environment(r),
                                                                            family.environment(r));
      least = std::fmin(least, residual);
      largest = std::fmax(largest, std::fabs(genetic + residual));
    }
    if (!restricted_face::may_be_singular(least, largest, family.environment.size())) continue;
    restricted_face::Reading reading = restricted_face::read_block(family_covariance(family, theta), least);
    if (reading.kind == restricted_face::Reading::Kind::refused) return std::nullopt;
    if (reading.kind == restricted_face::Reading::Kind::regular) continue;
    splits.resize(families_.size());
    splits[f] = std::move(reading.split);
  }
  if (!splits.empty()) return reml ? evaluate_on_face(theta, y, splits, with_gradient, per_person) : std::nullopt;

  const Eigen::Index p = p_;
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(p, p);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(p);
  double log_det = 0.0, yvy = 0.0;
  std::vector<BlockTerms> terms;
  if (with_gradient) terms.reserve(families_.size());

  const bool random_regression = is_random_regression(surface_);
  for (const Family& family : families_) {
    Eigen::MatrixXd genetic = random_regression ? Eigen::MatrixXd() : family_genetic(family, theta);
    const auto factor = dense::DenseFactor::make(random_regression ? family_covariance(family, theta)
                                                                   : covariance_from_genetic(family, theta, genetic));
    if (!factor) return std::nullopt;
    log_det += factor->logdet();
    Eigen::VectorXd y_b(family.rows.size());
    for (std::size_t r = 0; r < family.rows.size(); ++r) y_b(static_cast<Eigen::Index>(r)) = y(static_cast<Eigen::Index>(family.rows[r]));
    Eigen::VectorXd solved_y = factor->solve_vector(y_b);
    Eigen::MatrixXd solved_design = factor->solve_matrix(family.design);
    a.noalias() += family.design.transpose() * solved_design;
    u.noalias() += family.design.transpose() * solved_y;
    yvy += dot(y_b, solved_y);
    if (with_gradient)
      terms.push_back({factor->inverse(), std::move(solved_y), std::move(solved_design), std::move(genetic)});
  }

  const auto a_factor = dense::DenseFactor::make(a);
  if (!a_factor) return std::nullopt;
  Evaluation result;
  result.beta = a_factor->solve_vector(u);
  const double q = yvy - dot(u, result.beta);
  if (!rank::above_rounding(q, yvy, static_cast<std::size_t>(u.size()))) return std::nullopt;

  const double n = static_cast<double>(n_);
  result.objective = 0.5 * (q + log_det + n * ln_2pi);
  if (reml) result.objective += 0.5 * (a_factor->logdet() - log_det_xtx_) - (static_cast<double>(p) / 2.0) * ln_2pi;
  const Eigen::MatrixXd a_inverse = a_factor->inverse();
  result.covariance = a_inverse;
  if (!with_gradient) return result;

  std::vector<Eigen::VectorXd> residuals;
  residuals.reserve(terms.size());
  for (const BlockTerms& block : terms) residuals.push_back(block.solved_y - block.solved_design * result.beta);

  Eigen::MatrixXd derivative;
  Eigen::VectorXd scratch;
  for (std::size_t slot = 0; slot < parameter_count(surface_); ++slot) {
    double trace = 0.0, quadratic = 0.0;
    Eigen::MatrixXd m = Eigen::MatrixXd::Zero(p, p);
    for (std::size_t b = 0; b < families_.size(); ++b) {
      if (random_regression)
        family_derivative(families_[b], theta, slot, derivative);
      else
        derivative_from_genetic(families_[b], theta, terms[b].genetic, slot, derivative);
      trace += trace_of_product(terms[b].inverse, derivative);
      quadratic += quadratic_form(derivative, residuals[b], scratch);
      if (reml) m.noalias() += terms[b].solved_design.transpose() * derivative * terms[b].solved_design;
    }
    double g = 0.5 * (trace - quadratic);
    if (reml) g -= 0.5 * trace_of_product(a_inverse, m);
    result.gradient[slot] = g;
  }
  if (per_person) {
    // (P_rr - (P y)_r^2) / 2, P = V^-1 - V^-1 X A^-1 X'V^-1 under REML and V^-1 under ML.
    result.residual_derivatives.resize(static_cast<Eigen::Index>(n_));
    for (std::size_t b = 0; b < families_.size(); ++b) {
      const BlockTerms& block = terms[b];
      for (Eigen::Index r = 0; r < block.inverse.rows(); ++r) {
        double diagonal = block.inverse(r, r);
        if (reml) diagonal -= block.solved_design.row(r).dot(a_inverse * block.solved_design.row(r).transpose());
        const double py = residuals[b](r);
        result.residual_derivatives(static_cast<Eigen::Index>(families_[b].rows[static_cast<std::size_t>(r)])) =
            0.5 * (diagonal - py * py);
      }
    }
  }
  return result;
}

std::optional<Evaluation> GxeModel::evaluate_on_face(const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y,
                                                     const std::vector<std::optional<singular_reml::NullSplit>>& splits,
                                                     bool with_gradient, bool per_person) const {
  std::vector<Eigen::VectorXd> responses;
  responses.reserve(families_.size());
  for (const Family& family : families_) responses.emplace_back(y(family.rows));
  auto face = restricted_face::evaluate_families(
      families_.size(), [&](std::size_t f) { return family_covariance(families_[f], theta); },
      [&](std::size_t f) -> const Eigen::MatrixXd& { return families_[f].design; },
      [&](std::size_t f) -> const Eigen::VectorXd& { return responses[f]; }, splits, log_det_xtx_, with_gradient,
      parameter_count(surface_),
      [&](std::size_t f, std::size_t slot, Eigen::MatrixXd& d) { family_derivative(families_[f], theta, slot, d); });
  if (!face) return std::nullopt;
  Evaluation result;
  result.beta = std::move(face->beta);
  result.covariance = std::move(face->covariance);
  result.objective = face->objective;
  for (std::size_t slot = 0; slot < face->gradient.size(); ++slot) result.gradient[slot] = face->gradient[slot];
  if (per_person && with_gradient) {
    result.residual_derivatives.resize(static_cast<Eigen::Index>(n_));
    for (std::size_t f = 0; f < families_.size(); ++f)
      for (std::size_t r = 0; r < families_[f].rows.size(); ++r) {
        const auto i = static_cast<Eigen::Index>(r);
        const double py = face->projected[f](i);
        result.residual_derivatives(static_cast<Eigen::Index>(families_[f].rows[r])) =
            0.5 * (face->projector_diagonal[f](i) - py * py);
      }
  }
  return result;
}

}  // namespace kestrune::gxe
