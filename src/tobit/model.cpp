#include "tobit/model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "numerics/blocks.hpp"
#include "numerics/dense.hpp"
#include "numerics/deviance.hpp"
#include "numerics/difference_fit.hpp"
#include "numerics/eigen.hpp"
#include "numerics/member_order.hpp"
#include "numerics/rank.hpp"
#include "numerics/region.hpp"
#include "numerics/relationship_checks.hpp"

namespace kestrune::tobit {
namespace {

constexpr double log_two_pi = 1.8378770664093453;
constexpr double infinity = std::numeric_limits<double>::infinity();

// The smallest eigenvalue of a family's relationship block, NaN eigenvalues ignored.
double smallest_eigenvalue(const Eigen::MatrixXd& block) {
  double smallest = infinity;
  for (const double value : eigen::symmetric_eigen(block).values) smallest = std::fmin(smallest, value);
  return smallest;
}

TobitModel::Family cut_family(const blocks::Block& members, const matrix_scan::Strided& relationship,
                              std::span<const Censoring> censoring, const Standardised& trait,
                              const Eigen::Ref<const Eigen::MatrixXd>& design) {
  TobitModel::Family family{relationship.cut(members), design(members, Eigen::all), {}};
  for (std::size_t r = 0; r < members.size(); ++r) {
    const std::size_t i = members[r];
    family.split.add(static_cast<Eigen::Index>(r), censoring[i], trait.value[i], trait.limit[i]);
  }
  return family;
}

// What each person is, whatever the order of the sample: design row, code, value or limit.
Eigen::MatrixXd person_keys(const Eigen::Ref<const Eigen::MatrixXd>& design, std::span<const double> value,
                            std::span<const Censoring> censoring, std::span<const double> limit) {
  const Eigen::Index p = design.cols();
  Eigen::MatrixXd keys(design.rows(), p + 2);
  keys.leftCols(p) = design;
  for (Eigen::Index i = 0; i < design.rows(); ++i) {
    const bool measured = censoring[i] == Censoring::Measured;
    keys(i, p) = static_cast<double>(censoring[i]);
    keys(i, p + 1) = measured ? value[i] : limit[i];
  }
  return keys;
}

bool finite_all(std::span<const double> values) {
  return std::ranges::all_of(values, [](double v) { return std::isfinite(v); });
}

}  // namespace

void Split::add(Eigen::Index position, Censoring code, double observed, double at) {
  if (code == Censoring::Measured) {
    measured.push_back(position);
    value.push_back(observed);
  } else {
    censored.push_back(position);
    limit.push_back(at);
    sign.push_back(code == Censoring::AtOrAbove ? 1.0 : -1.0);
  }
}

std::optional<double> censored_loglik(const Eigen::MatrixXd& v, const Eigen::VectorXd& mean, const Split& split) {
  const auto m = static_cast<Eigen::Index>(split.measured.size());
  const auto c = static_cast<Eigen::Index>(split.censored.size());
  double total = 0.0;
  std::optional<dense::DenseFactor> factor;
  Eigen::VectorXd w;
  if (m > 0) {
    factor = dense::DenseFactor::make(v(split.measured, split.measured));
    if (!factor) return std::nullopt;
    Eigen::VectorXd residual(m);
    for (Eigen::Index k = 0; k < m; ++k) residual[k] = split.value[k] - mean[split.measured[k]];
    w = factor->solve_vector(residual);
    double q = 0.0;
    for (Eigen::Index k = 0; k < m; ++k) q += residual[k] * w[k];
    const double density = -0.5 * (q + static_cast<double>(m) * log_two_pi + factor->logdet());
    if (!std::isfinite(density)) return std::nullopt;
    total += density;
  }
  if (c == 0) return total;

  Eigen::MatrixXd v_cc = v(split.censored, split.censored);
  std::vector<double> region_mean(static_cast<std::size_t>(c));
  for (Eigen::Index i = 0; i < c; ++i) region_mean[i] = mean[split.censored[i]];
  if (m > 0) {
    const Eigen::MatrixXd v_mc = v(split.measured, split.censored);
    for (Eigen::Index i = 0; i < c; ++i) {
      double shift = 0.0;
      for (Eigen::Index k = 0; k < m; ++k) shift += v_mc(k, i) * w[k];
      region_mean[i] += shift;
    }
    v_cc.noalias() -= v_mc.transpose() * factor->solve_matrix(v_mc);
  }
  for (Eigen::Index i = 0; i < c; ++i) region_mean[i] -= split.limit[i];
  const std::optional<double> term = region::region_log_probability(region_mean, split.sign, v_cc);
  if (!term || !std::isfinite(*term)) return std::nullopt;
  return total + *term;
}

std::optional<difference_fit::Fit> unsearched(std::vector<double> start, const difference_fit::Objective& f) {
  const double value = f(start);
  if (!(value < difference_fit::unevaluable)) return std::nullopt;
  return difference_fit::Fit{std::move(start), value, std::numeric_limits<double>::quiet_NaN(), false};
}

Result<std::vector<Censoring>> censoring_from(std::span<const std::int64_t> codes) {
  std::vector<Censoring> censoring;
  censoring.reserve(codes.size());
  for (const std::int64_t code : codes) {
    if (static_cast<std::uint64_t>(code) >= 3) return fail("TOBIT_CENSORING_CODE_UNKNOWN");
    censoring.push_back(static_cast<Censoring>(code));
  }
  return censoring;
}

double censored_share(std::span<const Censoring> censoring) {
  const auto censored = std::ranges::count_if(censoring, [](Censoring c) { return c != Censoring::Measured; });
  return static_cast<double>(censored) / static_cast<double>(censoring.size());
}

Result<TobitModel> TobitModel::build(const matrix_scan::Strided& relationship, std::span<const double> value,
                                     std::span<const Censoring> censoring, std::span<const double> limit,
                                     const matrix_scan::Strided& design_view) {
  const std::size_t n = value.size();
  const auto rows = static_cast<Eigen::Index>(n);
  if (n == 0) return fail("TOBIT_NO_ROWS");
  if (censoring.size() != n || limit.size() != n) return fail("TOBIT_INPUTS_DIFFERENT_LENGTHS");
  if (relationship.rows != rows || relationship.cols != rows) return fail("TOBIT_RELATIONSHIP_WRONG_SHAPE");
  if (design_view.rows != rows) return fail("TOBIT_DESIGN_WRONG_SHAPE");
  if (design_view.cols == 0) return fail("TOBIT_DESIGN_HAS_NO_COLUMNS");
  blocks::Links links(n);
  const matrix_scan::Findings found = matrix_scan::scan(relationship, relationship_checks::pair_tests, &links);
  if (!found.finite || !matrix_scan::all_finite(design_view)) return fail("TOBIT_NOT_FINITE");
  switch (relationship_checks::symmetry_then_closeness(found)) {
    case relationship_checks::PairFault::asymmetric: return fail("TOBIT_RELATIONSHIP_NOT_SYMMETRIC");
    case relationship_checks::PairFault::too_close: return fail("TOBIT_RELATIONSHIP_TOO_CLOSE");
    case relationship_checks::PairFault::none: break;
  }
  std::size_t measured = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (censoring[i] == Censoring::Measured) {
      if (!std::isfinite(value[i])) return fail("TOBIT_MEASURED_VALUE_NOT_FINITE");
      ++measured;
    } else if (!std::isfinite(limit[i])) {
      return fail("TOBIT_LIMIT_NOT_FINITE");
    }
  }
  if (measured < 2) return fail("TOBIT_TOO_FEW_MEASURED_VALUES");
  const std::vector<blocks::Block> family_list = matrix_scan::families(relationship, links);
  for (const blocks::Block& members : family_list)
    if (smallest_eigenvalue(relationship.cut(members)) < -1e-9) return fail("TOBIT_RELATIONSHIP_NOT_PSD");
  // A design wider than tall is refused before it is copied.
  if (rank::too_wide(design_view.rows, design_view.cols)) return fail("TOBIT_DESIGN_RANK_DEFICIENT");
  const Eigen::MatrixXd design = design_view.copy();
  if (!rank::full_column_rank(design)) return fail("TOBIT_DESIGN_RANK_DEFICIENT");

  // The search runs on unit-spread directions of the design (a covariate's offset would make its
  // fixed-effect directions nearly parallel); the members' order stays keyed on the caller's rows.
  TobitModel model(design_basis::Basis::standardised(design));
  model.trait_ = standardise(model.basis_, value, censoring, limit);
  const Eigen::MatrixXd keys = person_keys(design, value, censoring, limit);
  for (const blocks::Block& members : family_list) {
    Family family = cut_family(member_order::canonical(members, keys, relationship), relationship, censoring,
                               model.trait_, model.basis_.columns());
    model.largest_family_ = std::max(model.largest_family_, members.size());
    model.families_.push_back(std::move(family));
  }
  model.p_ = static_cast<std::size_t>(design.cols());
  model.censored_share_ = tobit::censored_share(censoring);
  return model;
}

std::optional<double> TobitModel::loglik(double h2, double total_variance, std::span<const double> beta) const {
  if (beta.size() != p_) return std::nullopt;
  const std::optional<double> value = standard_loglik(h2, total_variance / (trait_.scale * trait_.scale),
                                                      trait_.standard_effects(basis_, beta));
  if (!value) return std::nullopt;
  return trait_.loglik(*value);
}

std::optional<double> TobitModel::standard_loglik(double h2, double total_variance,
                                                  std::span<const double> beta) const {
  if (!(h2 >= 0.0 && h2 <= 1.0)) return std::nullopt;
  if (!std::isfinite(total_variance) || !(total_variance > 0.0)) return std::nullopt;
  if (beta.size() != p_ || !finite_all(beta)) return std::nullopt;
  double total = 0.0;
  Eigen::VectorXd mean;
  Eigen::MatrixXd v;
  for (const Family& family : families_) {
    mean = Eigen::VectorXd::Zero(family.design.rows());
    for (Eigen::Index r = 0; r < family.design.rows(); ++r)
      for (std::size_t j = 0; j < p_; ++j) mean[r] += family.design(r, static_cast<Eigen::Index>(j)) * beta[j];
    const Eigen::Index m = family.relationship.rows();
    v.resize(m, m);
    for (Eigen::Index j = 0; j < m; ++j)
      for (Eigen::Index i = 0; i < m; ++i)
        v(i, j) = total_variance * (h2 * family.relationship(i, j) + (i == j ? 1.0 - h2 : 0.0));
    const std::optional<double> term = censored_loglik(v, mean, family.split);
    if (!term) return std::nullopt;
    total += *term;
  }
  if (!std::isfinite(total)) return std::nullopt;
  return total;
}

difference_fit::Problem TobitModel::problem(std::optional<double> held) const {
  std::vector<double> lower(p_ + 2, -infinity);
  std::vector<double> upper(lower.size(), infinity);
  lower[0] = held.value_or(0.0);
  upper[0] = held.value_or(1.0);
  return difference_fit::box_problem(std::move(lower), std::move(upper), 300, 1e-6, 1e-9);
}

difference_fit::Objective TobitModel::objective(const difference_fit::Problem& problem) const {
  difference_fit::Objective f = [this](std::span<const double> x) {
    const std::optional<double> value = standard_loglik(x[0], std::exp(x[1]), x.subspan(2));
    return value ? -*value : difference_fit::unevaluable;
  };
  return change_ ? change_(problem, std::move(f)) : f;
}

TobitModel TobitModel::with_objective_change(difference_fit::ObjectiveChange change) const {
  TobitModel changed = *this;
  changed.change_ = std::move(change);
  return changed;
}

Result<difference_fit::Fit> TobitModel::search(std::optional<double> held) const {
  if (held && !(*held >= 0.0 && *held <= 1.0)) return fail("TOBIT_HELD_HERITABILITY_OUT_OF_RANGE");
  std::vector<std::vector<double>> starts;
  for (const double h2 : held ? std::vector<double>{*held} : std::vector<double>{0.05, 0.3, 0.6}) {
    std::vector<double> start(2 + p_, 0.0);
    start[0] = h2;
    starts.push_back(std::move(start));
  }
  const difference_fit::Problem search_problem = problem(held);
  std::optional<difference_fit::Fit> fit = trait_.has_maximum
                                               ? difference_fit::fit(search_problem, starts, objective(search_problem))
                                               : unsearched(starts.front(), objective(search_problem));
  if (!fit) return fail("TOBIT_NO_START_CONVERGED");
  return std::move(*fit);
}

TobitFit TobitModel::record(const difference_fit::Fit& fit) const {
  const std::vector<double> beta = trait_.effects(basis_, std::span<const double>(fit.x).subspan(2));
  const double variance = trait_.variance(std::exp(fit.x[1]));
  const double loglik = trait_.loglik(-fit.value);
  const bool finite = finite_all(beta) && std::isfinite(variance) && std::isfinite(loglik);
  return TobitFit{beta,    "ml",           fit.x[0],
                  variance, loglik, fit.scaled_gradient, censored_share_,
                  largest_family_, finite && fit.scaled_gradient < 1e-6};
}

Result<TobitFit> TobitModel::fit_holding(std::optional<double> held) const {
  const Result<difference_fit::Fit> fit = search(held);
  if (!fit) return std::unexpected(fit.error());
  return record(*fit);
}

Result<TobitHeritabilityTest> TobitModel::heritability_test() const {
  const Result<difference_fit::Fit> full = search(std::nullopt);
  if (!full) return std::unexpected(full.error());
  const Result<difference_fit::Fit> null = search(0.0);
  if (!null) return std::unexpected(null.error());
  if (!record(*full).converged) return fail("TOBIT_FIT_NOT_CONVERGED");
  if (!record(*null).converged) return fail("TOBIT_NULL_FIT_NOT_CONVERGED");
  const difference_fit::Problem free_problem = problem(std::nullopt);
  const std::optional<difference_fit::Fit> free =
      difference_fit::above_restricted(free_problem, *full, *null, objective(free_problem));
  if (!free) return fail("TOBIT_BETTER_UNRESOLVED_OPTIMUM");
  const double statistic = std::fmax(2.0 * (null->value - free->value), 0.0);
  return TobitHeritabilityTest{"mixture_50_50", statistic, deviance::p_value(statistic), record(*null).loglik,
                               record(*free).loglik};
}

Result<interval::ProfileInterval> TobitModel::heritability_interval() const {
  const Result<TobitFit> full = fit_holding(std::nullopt);
  if (!full) return std::unexpected(full.error());
  if (!full->converged) return fail("TOBIT_FIT_NOT_CONVERGED");
  // Only differences of the log-likelihood count: they are read in the standardised units.
  const auto refit = [this](double h2) -> std::optional<double> {
    const Result<difference_fit::Fit> fit = search(h2);
    if (!fit || !record(*fit).converged) return std::nullopt;
    return -fit->value;
  };
  interval::ProfileInterval result = interval::profile_interval(refit, full->h2, 0.0, 1.0);
  if (!result.estimate) return fail("TOBIT_PROFILE_NOT_EVALUABLE");
  result.contains_lower_bound = interval::contains_bound(result.lower_limited, result.lower_statistic);
  result.contains_upper_bound = interval::contains_bound(result.upper_limited, result.upper_statistic);
  return result;
}

}  // namespace kestrune::tobit
