#include "discrete_gxe/model.hpp"

#include <cmath>
#include <utility>

#include "numerics/blocks.hpp"
#include "numerics/dense.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/rank.hpp"
#include "numerics/restricted_face.hpp"
#include "numerics/singular_reml.hpp"

namespace kestrune::discrete_gxe {

namespace {

constexpr double log_two_pi = 1.8378770664093453;

// The two distinct labels in the order first met, or the code of the first person who
// spoils that: a label that is not finite, or a third distinct label.
Result<std::array<double, 2>> two_labels(const Eigen::Ref<const Eigen::VectorXd>& environment) {
  std::array<double, 3> seen{};
  std::size_t count = 0;
  for (Eigen::Index i = 0; i < environment.size(); ++i) {
    const double label = environment[i];
    if (!std::isfinite(label)) return fail("DISCRETE_GXE_ENVIRONMENT_NOT_FINITE");
    bool known = false;
    for (std::size_t l = 0; l < count; ++l) known = known || seen[l] == label;
    if (known) continue;
    seen[count++] = label;
    if (count == 3) return fail("DISCRETE_GXE_ENVIRONMENT_NOT_TWO_LEVELS");
  }
  if (count < 2) return fail("DISCRETE_GXE_ENVIRONMENT_NOT_TWO_LEVELS");
  return std::array<double, 2>{seen[0], seen[1]};
}

std::array<double, 2> ascending(std::array<double, 2> pair) {
  if (pair[1] < pair[0]) std::swap(pair[0], pair[1]);
  return pair;
}

// The expected labels against the sorted labels present. A NaN matches no label and is
// refused before anything is ordered.
Result<void> check_expected(const std::array<double, 2>& labels, std::array<double, 2> expected) {
  if (std::isnan(expected[0]) || std::isnan(expected[1]))
    return fail("DISCRETE_GXE_ENVIRONMENT_LEVELS_UNEXPECTED");
  expected = ascending(expected);
  if (expected[0] == expected[1]) return fail("DISCRETE_GXE_ENVIRONMENT_LEVELS_NOT_DISTINCT");
  if (expected[0] != labels[0] || expected[1] != labels[1])
    return fail("DISCRETE_GXE_ENVIRONMENT_LEVELS_UNEXPECTED");
  return {};
}

std::vector<Family> cut_families(const matrix_scan::Strided& relationship, blocks::Links& links,
                                 const Eigen::Ref<const Eigen::MatrixXd>& design,
                                 const std::vector<bool>& first_group) {
  std::vector<Family> families;
  for (blocks::Block& members : matrix_scan::families(relationship, links)) {
    const auto m = static_cast<Eigen::Index>(members.size());
    Family family{{}, relationship.cut(members), Eigen::MatrixXd(m, design.cols()), std::vector<bool>(members.size())};
    for (Eigen::Index a = 0; a < m; ++a) {
      const auto row = static_cast<Eigen::Index>(members[a]);
      family.design.row(a) = design.row(row);
      family.first_group[a] = first_group[members[a]];
    }
    family.members = std::move(members);
    families.push_back(std::move(family));
  }
  return families;
}

bool refused(const Parameters& x) {
  for (double value : x)
    if (!std::isfinite(value)) return true;
  return x[0] < 0.0 || x[1] < 0.0 || x[2] < 0.0 || x[3] < 0.0 || std::fabs(x[4]) > 1.0;
}

// What the gradient pass needs of one family, kept from the value pass.
struct BlockTerms {
  Eigen::MatrixXd inverse;          // V_b^-1
  Eigen::VectorXd solved_response;  // V_b^-1 y_b
  Eigen::MatrixXd solved_design;    // V_b^-1 X_b
};

// The covariance of one family at x, and its derivative in direction k (0 to 4): along the full
// vector (g1, g2, e1, e2, rho), or, `by_variance`, along the genetic variances and covariance and
// the residual variances (g1^2, g2^2, rho g1 g2, e1^2, e2^2), which stay informative where a
// standard deviation is 0.
struct FamilyCovariance {
  const Family& family;
  const Parameters& x;
  bool by_variance = false;

  double s(Eigen::Index i) const { return family.first_group[i] ? x[0] : x[1]; }
  double d(Eigen::Index i) const { return family.first_group[i] ? x[2] : x[3]; }
  bool same(Eigen::Index i, Eigen::Index j) const { return family.first_group[i] == family.first_group[j]; }
  double c(Eigen::Index i, Eigen::Index j) const { return same(i, j) ? 1.0 : x[4]; }

  double value_at(Eigen::Index i, Eigen::Index j) const {
    const double genetic = family.relationship(i, j) * s(i) * s(j) * c(i, j);
    return i == j ? genetic + d(i) * d(i) : genetic;
  }

  Eigen::MatrixXd value() const {
    const Eigen::Index m = family.relationship.rows();
    Eigen::MatrixXd v(m, m);
    for (Eigen::Index j = 0; j < m; ++j)
      for (Eigen::Index i = 0; i < m; ++i) v(i, j) = value_at(i, j);
    return v;
  }

  double derivative(int k, Eigen::Index i, Eigen::Index j) const {
    const double kij = family.relationship(i, j);
    if (by_variance) {
      if (k >= 3) return i == j && family.first_group[i] == (k == 3) ? 1.0 : 0.0;
      if (k == 2) return same(i, j) ? 0.0 : kij;
      return same(i, j) && family.first_group[i] == (k == 0) ? kij : 0.0;
    }
    switch (k) {
      case 0:
      case 1: {
        const bool in_first = k == 0;
        const double a = family.first_group[j] == in_first ? s(i) : 0.0;
        const double b = family.first_group[i] == in_first ? s(j) : 0.0;
        return kij * c(i, j) * (a + b);
      }
      case 2:
      case 3:
        return i == j && family.first_group[i] == (k == 2) ? 2.0 * x[k] : 0.0;
      default:
        return same(i, j) ? 0.0 : s(i) * s(j) * kij;
    }
  }

  // Into `dv`, resized to the family; a buffer kept across families and directions.
  void derivative(int k, Eigen::MatrixXd& dv) const {
    const Eigen::Index m = family.relationship.rows();
    dv.resize(m, m);
    for (Eigen::Index j = 0; j < m; ++j)
      for (Eigen::Index i = 0; i < m; ++i) dv(i, j) = derivative(k, i, j);
  }
};

// Adds one family's terms of the five derivatives: trace(V^-1 dV), w' dV w and, for REML,
// W' dV W. `dv` is scratch space.
void add_gradient_terms(const FamilyCovariance& covariance, const BlockTerms& terms, const Eigen::VectorXd& beta,
                        bool reml, std::array<double, 5>& trace, std::array<double, 5>& quadratic,
                        std::array<Eigen::MatrixXd, 5>& design_terms, Eigen::MatrixXd& dv) {
  const Eigen::VectorXd w = terms.solved_response - terms.solved_design * beta;
  const Eigen::Index m = w.size();
  for (int k = 0; k < 5; ++k) {
    covariance.derivative(k, dv);
    double t = 0.0;
    double q = 0.0;
    for (Eigen::Index j = 0; j < m; ++j) {
      double column = 0.0;
      for (Eigen::Index i = 0; i < m; ++i) {
        t += terms.inverse(j, i) * dv(i, j);
        column += w[i] * dv(i, j);
      }
      q += column * w[j];
    }
    trace[k] += t;
    quadratic[k] += q;
    if (reml) design_terms[k].noalias() += terms.solved_design.transpose() * (dv * terms.solved_design);
  }
}

// Where a family's residual is at the rounding of its covariance (a residual standard deviation
// at 0), the covariance may be singular, and a Cholesky factor would read a last pivot that is
// noise as an eigenvalue. Such families are read by restricted_face instead: the splits of those
// that are singular at rounding (none where every family is positive definite beyond rounding),
// or nothing where one is indefinite beyond rounding.
std::optional<std::vector<std::optional<singular_reml::NullSplit>>> singular_families(const std::vector<Family>& families,
                                                                                      const Parameters& x) {
  std::vector<std::optional<singular_reml::NullSplit>> splits;
  for (std::size_t f = 0; f < families.size(); ++f) {
    const FamilyCovariance covariance{families[f], x};
    const Eigen::Index m = families[f].relationship.rows();
    double least = INFINITY, largest = 0.0;
    for (Eigen::Index i = 0; i < m; ++i) {
      least = std::fmin(least, covariance.d(i) * covariance.d(i));
      largest = std::fmax(largest, std::fabs(covariance.value_at(i, i)));
    }
    if (!restricted_face::may_be_singular(least, largest, m)) continue;
    restricted_face::Reading reading = restricted_face::read_block(covariance.value(), least);
    if (reading.kind == restricted_face::Reading::Kind::refused) return std::nullopt;
    if (reading.kind == restricted_face::Reading::Kind::regular) continue;
    splits.resize(families.size());
    splits[f] = std::move(reading.split);
  }
  return splits;
}

}  // namespace

// ---- constraint -----------------------------------------------------------------------

std::size_t Constraint::free_size() const {
  return (genetic_equal ? 1 : 2) + (residual_equal ? 1 : 2) + (correlation ? 0 : 1);
}

Parameters Constraint::expand(std::span<const double> free) const {
  Parameters full{};
  std::size_t next = 0;
  full[0] = free[next++];
  full[1] = genetic_equal ? full[0] : free[next++];
  full[2] = free[next++];
  full[3] = residual_equal ? full[2] : free[next++];
  full[4] = correlation ? *correlation : free[next];
  return full;
}

std::vector<double> Constraint::fold(const Parameters& gradient) const {
  std::vector<double> free;
  free.reserve(free_size());
  if (genetic_equal) {
    free.push_back(gradient[0] + gradient[1]);
  } else {
    free.push_back(gradient[0]);
    free.push_back(gradient[1]);
  }
  if (residual_equal) {
    free.push_back(gradient[2] + gradient[3]);
  } else {
    free.push_back(gradient[2]);
    free.push_back(gradient[3]);
  }
  if (!correlation) free.push_back(gradient[4]);
  return free;
}

std::vector<double> Constraint::reduce(const Parameters& full) const {
  std::vector<double> free;
  free.reserve(free_size());
  if (genetic_equal) {
    free.push_back(0.5 * (full[0] + full[1]));
  } else {
    free.push_back(full[0]);
    free.push_back(full[1]);
  }
  if (residual_equal) {
    free.push_back(0.5 * (full[2] + full[3]));
  } else {
    free.push_back(full[2]);
    free.push_back(full[3]);
  }
  if (!correlation) free.push_back(full[4]);
  return free;
}

// ---- construction ---------------------------------------------------------------------

Result<DiscreteGxeModel> DiscreteGxeModel::build_expecting(const matrix_scan::Strided& relationship,
                                                           const Eigen::Ref<const Eigen::VectorXd>& environment,
                                                           const matrix_scan::Strided& design_view,
                                                           std::optional<std::array<double, 2>> levels) {
  const Eigen::Index n = environment.size();
  if (n == 0) return fail("DISCRETE_GXE_NO_ROWS");
  if (relationship.rows != n || relationship.cols != n) return fail("DISCRETE_GXE_RELATIONSHIP_WRONG_SHAPE");
  if (design_view.rows != n) return fail("DISCRETE_GXE_DESIGN_WRONG_SHAPE");
  if (design_view.cols == 0) return fail("DISCRETE_GXE_DESIGN_HAS_NO_COLUMNS");
  blocks::Links links(static_cast<std::size_t>(n));
  const bool finite = matrix_scan::scan(relationship, {}, &links).finite;
  if (!finite || !matrix_scan::all_finite(design_view)) return fail("DISCRETE_GXE_NOT_FINITE");

  auto met = two_labels(environment);
  if (!met) return std::unexpected(met.error());
  const std::array<double, 2> labels = ascending(*met);
  if (levels) {
    if (auto expected = check_expected(labels, *levels); !expected) return std::unexpected(expected.error());
  } else if (labels[0] < 0.0) {
    return fail("DISCRETE_GXE_ENVIRONMENT_NEGATIVE_LEVEL");
  }

  std::vector<bool> first_group(static_cast<std::size_t>(n));
  std::size_t first = 0;
  for (Eigen::Index i = 0; i < n; ++i) {
    first_group[i] = environment[i] == labels[0];
    first += first_group[i] ? 1 : 0;
  }
  if (first < 2 || static_cast<std::size_t>(n) - first < 2) return fail("DISCRETE_GXE_A_GROUP_IS_TOO_SMALL");

  // Rank is judged on the columns at their rounding level, by the rule every entry shares (two
  // equal columns can leave X'X a last pivot that rounding made positive); a design wider than
  // tall is refused before it is copied.
  if (rank::too_wide(n, design_view.cols)) return fail("DISCRETE_GXE_DESIGN_RANK_DEFICIENT");
  const Eigen::MatrixXd design = design_view.copy();
  if (!rank::full_column_rank(design)) return fail("DISCRETE_GXE_DESIGN_RANK_DEFICIENT");

  DiscreteGxeModel model{design_basis::Basis::orthogonal(design)};
  const Eigen::MatrixXd& basis = model.basis_.columns();
  model.families_ = cut_families(relationship, links, basis, first_group);
  model.first_group_ = std::move(first_group);
  model.levels_ = labels;
  model.n_ = static_cast<std::size_t>(n);
  model.p_ = static_cast<std::size_t>(design.cols());
  model.log_det_xtx_ = model.basis_.log_det_gram();
  return model;
}

// ---- likelihood -----------------------------------------------------------------------

std::optional<Evaluation> DiscreteGxeModel::evaluate(const Parameters& x, const Eigen::VectorXd& response, bool reml,
                                                     bool with_gradient) const {
  return evaluate_along(x, response, reml, with_gradient, false);
}

std::optional<Parameters> DiscreteGxeModel::variance_gradient(const Parameters& x, const Eigen::VectorXd& response,
                                                              bool reml) const {
  const auto evaluation = evaluate_along(x, response, reml, true, true);
  if (!evaluation) return std::nullopt;
  return evaluation->gradient;
}

std::optional<Evaluation> DiscreteGxeModel::evaluate_along(const Parameters& x, const Eigen::VectorXd& response,
                                                           bool reml, bool with_gradient, bool by_variance) const {
  if (refused(x) || static_cast<std::size_t>(response.size()) != n_) return std::nullopt;
  if (interrupt::requested()) return std::nullopt;  // polled at every evaluation of a search
  const auto splits = singular_families(families_, x);
  if (!splits) return std::nullopt;
  if (!splits->empty()) return reml ? evaluate_on_face(x, response, *splits, with_gradient, by_variance) : std::nullopt;
  const auto p = static_cast<Eigen::Index>(p_);
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(p, p);
  Eigen::VectorXd b = Eigen::VectorXd::Zero(p);
  double log_det = 0.0;
  double quadratic = 0.0;
  std::vector<BlockTerms> kept;
  if (with_gradient) kept.reserve(families_.size());

  for (const Family& family : families_) {
    const auto factor = dense::DenseFactor::make(FamilyCovariance{family, x}.value());
    if (!factor) return std::nullopt;
    log_det += factor->logdet();
    const auto m = static_cast<Eigen::Index>(family.members.size());
    Eigen::VectorXd y(m);
    for (Eigen::Index i = 0; i < m; ++i) y[i] = response[static_cast<Eigen::Index>(family.members[i])];
    Eigen::VectorXd u = factor->solve_vector(y);
    Eigen::MatrixXd w = factor->solve_matrix(family.design);
    a.noalias() += family.design.transpose() * w;
    b.noalias() += family.design.transpose() * u;
    for (Eigen::Index i = 0; i < m; ++i) quadratic += y[i] * u[i];
    if (with_gradient) kept.push_back(BlockTerms{factor->inverse(), std::move(u), std::move(w)});
  }

  const auto a_factor = dense::DenseFactor::make(a);
  if (!a_factor) return std::nullopt;
  Evaluation result{a_factor->solve_vector(b), Eigen::MatrixXd(), 0.0, {}};
  double fitted = 0.0;
  for (Eigen::Index i = 0; i < p; ++i) fitted += b[i] * result.beta[i];
  const double q = quadratic - fitted;
  if (!rank::above_rounding(q, quadratic, p_)) return std::nullopt;

  const auto n = static_cast<double>(n_);
  result.objective = 0.5 * (q + log_det + n * log_two_pi);
  if (reml) {
    result.objective += 0.5 * (a_factor->logdet() - log_det_xtx_) - (static_cast<double>(p_) / 2.0) * log_two_pi;
  }
  if (!std::isfinite(result.objective)) return std::nullopt;
  result.covariance = a_factor->inverse();
  if (!with_gradient) return result;

  std::array<double, 5> trace{};
  std::array<double, 5> quadratic_terms{};
  std::array<Eigen::MatrixXd, 5> design_terms;
  for (auto& term : design_terms) term = Eigen::MatrixXd::Zero(p, p);
  Eigen::MatrixXd dv;
  for (std::size_t f = 0; f < families_.size(); ++f) {
    add_gradient_terms(FamilyCovariance{families_[f], x, by_variance}, kept[f], result.beta, reml, trace, quadratic_terms,
                       design_terms, dv);
  }
  for (int k = 0; k < 5; ++k) {
    double correction = 0.0;
    if (reml) {
      for (Eigen::Index i = 0; i < p; ++i)
        for (Eigen::Index j = 0; j < p; ++j) correction += result.covariance(i, j) * design_terms[k](j, i);
    }
    result.gradient[k] = 0.5 * (trace[k] - quadratic_terms[k] - correction);
  }
  return result;
}

// On a face where some family's covariance is singular, the restricted likelihood's limit there
// (ML has none: the caller gives nothing).
std::optional<Evaluation> DiscreteGxeModel::evaluate_on_face(const Parameters& x, const Eigen::VectorXd& response,
                                                             const std::vector<std::optional<singular_reml::NullSplit>>& splits,
                                                             bool with_gradient, bool by_variance) const {
  std::vector<Eigen::VectorXd> responses;
  responses.reserve(families_.size());
  for (const Family& family : families_) responses.emplace_back(response(family.members));
  auto face = restricted_face::evaluate_families(
      families_.size(), [&](std::size_t f) { return FamilyCovariance{families_[f], x}.value(); },
      [&](std::size_t f) -> const Eigen::MatrixXd& { return families_[f].design; },
      [&](std::size_t f) -> const Eigen::VectorXd& { return responses[f]; }, splits, log_det_xtx_, with_gradient, 5,
      [&](std::size_t f, std::size_t k, Eigen::MatrixXd& d) {
        FamilyCovariance{families_[f], x, by_variance}.derivative(static_cast<int>(k), d);
      });
  if (!face) return std::nullopt;
  Evaluation result{std::move(face->beta), std::move(face->covariance), face->objective, {}};
  for (std::size_t k = 0; k < face->gradient.size(); ++k) result.gradient[k] = face->gradient[k];
  return result;
}

}  // namespace kestrune::discrete_gxe
