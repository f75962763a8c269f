#include "liability/threshold.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <boost/math/distributions/normal.hpp>

#include "numerics/blocks.hpp"
#include "numerics/deviance.hpp"
#include "numerics/member_order.hpp"
#include "numerics/rank.hpp"
#include "numerics/region.hpp"
#include "numerics/relationship_checks.hpp"

namespace kestrune::liability {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

double inverse_normal_cdf(double p) {
  return boost::math::quantile(boost::math::normal_distribution<double, deviance::NoThrowPolicy>(), p);
}

}  // namespace

Result<LiabilityModel> LiabilityModel::build(const matrix_scan::Strided& relationship, std::span<const double> status,
                                             const matrix_scan::Strided& design_view) {
  const std::size_t n = status.size();
  const auto rows = static_cast<Eigen::Index>(n);
  if (n == 0) return fail("LIABILITY_NO_ROWS");
  if (relationship.rows != rows || relationship.cols != rows) return fail("LIABILITY_RELATIONSHIP_WRONG_SHAPE");
  if (design_view.rows != rows) return fail("LIABILITY_DESIGN_WRONG_SHAPE");
  if (design_view.cols == 0) return fail("LIABILITY_DESIGN_HAS_NO_COLUMNS");
  blocks::Links links(n);
  const matrix_scan::Findings found = matrix_scan::scan(relationship, relationship_checks::pair_tests, &links);
  if (!found.finite || !matrix_scan::all_finite(design_view)) return fail("LIABILITY_NOT_FINITE");
  switch (relationship_checks::symmetry_then_closeness(found)) {
    case relationship_checks::PairFault::asymmetric: return fail("LIABILITY_RELATIONSHIP_NOT_SYMMETRIC");
    case relationship_checks::PairFault::too_close: return fail("LIABILITY_RELATIONSHIP_TOO_CLOSE");
    case relationship_checks::PairFault::none: break;
  }
  std::vector<double> sign(n);
  std::size_t cases = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(status[i])) return fail("LIABILITY_STATUS_NOT_FINITE");
    if (std::fabs(status[i] - 1.0) <= 1e-12) {
      sign[i] = 1.0;
      ++cases;
    } else if (std::fabs(status[i]) <= 1e-12) {
      sign[i] = -1.0;
    } else {
      return fail("LIABILITY_STATUS_NOT_BINARY");
    }
  }
  if (cases == 0 || cases == n) return fail("LIABILITY_ALL_ONE_STATUS");
  // A design wider than tall is refused before it is copied.
  if (rank::too_wide(design_view.rows, design_view.cols)) return fail("LIABILITY_DESIGN_RANK_DEFICIENT");
  const Eigen::MatrixXd design = design_view.copy();
  if (!rank::full_column_rank(design)) return fail("LIABILITY_DESIGN_RANK_DEFICIENT");

  // The search runs on unit-spread directions of the design (a covariate's offset would make its
  // fixed-effect directions nearly parallel); the members' order stays keyed on the caller's rows.
  LiabilityModel model(design_basis::Basis::standardised(design));
  model.cases_ = cases;

  // Each person's design row and side, whatever the order of the sample.
  Eigen::MatrixXd keys(design.rows(), design.cols() + 1);
  keys << design, Eigen::Map<const Eigen::VectorXd>(sign.data(), rows);
  for (const blocks::Block& block : matrix_scan::families(relationship, links)) {
    const blocks::Block members = member_order::canonical(block, keys, relationship);
    Family family{relationship.cut(members), model.basis_.columns()(members, Eigen::all), {}};
    for (const std::size_t i : members) family.sign.push_back(sign[i]);
    model.largest_family_ = std::max(model.largest_family_, members.size());
    model.families_.push_back(std::move(family));
  }
  model.n_ = n;
  model.p_ = static_cast<std::size_t>(design.cols());
  return model;
}

std::optional<double> LiabilityModel::loglik(double h2, std::span<const double> beta) const {
  if (beta.size() != p_) return std::nullopt;
  const Eigen::VectorXd on_basis = basis_.on_basis(Eigen::Map<const Eigen::VectorXd>(beta.data(), std::ssize(beta)));
  return basis_loglik(h2, {on_basis.data(), p_});
}

std::optional<double> LiabilityModel::basis_loglik(double h2, std::span<const double> beta) const {
  if (!(h2 >= 0.0 && h2 <= 1.0)) return std::nullopt;
  if (beta.size() != p_ || !std::ranges::all_of(beta, [](double b) { return std::isfinite(b); })) {
    return std::nullopt;
  }
  double total = 0.0;
  std::vector<double> mean;
  Eigen::MatrixXd covariance;
  for (const Family& family : families_) {
    const Eigen::Index s = family.relationship.rows();
    mean.assign(static_cast<std::size_t>(s), 0.0);
    for (Eigen::Index r = 0; r < s; ++r)
      for (std::size_t c = 0; c < p_; ++c) mean[r] += family.design(r, static_cast<Eigen::Index>(c)) * beta[c];
    covariance = h2 * family.relationship;
    for (Eigen::Index r = 0; r < s; ++r) covariance(r, r) += 1.0 - h2;
    const std::optional<double> term = region::region_log_probability(mean, family.sign, covariance);
    if (!term) return std::nullopt;
    total += *term;
  }
  if (!std::isfinite(total)) return std::nullopt;
  return total;
}

difference_fit::Problem LiabilityModel::problem(std::optional<double> held) const {
  std::vector<double> lower(p_ + 1, -infinity);
  std::vector<double> upper(lower.size(), infinity);
  lower[0] = held.value_or(0.0);
  upper[0] = held.value_or(1.0);
  return difference_fit::box_problem(std::move(lower), std::move(upper), 300, 1e-6, 0.0);
}

difference_fit::Objective LiabilityModel::objective(const difference_fit::Problem& problem) const {
  difference_fit::Objective f = [this](std::span<const double> x) {
    const std::optional<double> value = basis_loglik(x[0], x.subspan(1));
    return value ? -*value : difference_fit::unevaluable;
  };
  return change_ ? change_(problem, std::move(f)) : f;
}

LiabilityModel LiabilityModel::with_objective_change(difference_fit::ObjectiveChange change) const {
  LiabilityModel changed = *this;
  changed.change_ = std::move(change);
  return changed;
}

Result<difference_fit::Fit> LiabilityModel::search(std::optional<double> held) const {
  if (held && (*held < 0.0 || *held > 1.0)) return fail("LIABILITY_HELD_HERITABILITY_OUT_OF_RANGE");
  const double prevalence = static_cast<double>(cases_) / static_cast<double>(n_);
  const double intercept = inverse_normal_cdf(std::fmin(std::fmax(prevalence, 1e-6), 0.999999));
  // Every start's fitted values are the intercept times the design's first column.
  const Eigen::VectorXd effects = basis_.on_basis(intercept * Eigen::VectorXd::Unit(static_cast<Eigen::Index>(p_), 0));
  std::vector<std::vector<double>> starts;
  for (const double h2 : {0.05, 0.3, 0.6}) {
    std::vector<double> start{held.value_or(h2)};
    start.insert(start.end(), effects.begin(), effects.end());
    starts.push_back(std::move(start));
  }
  const difference_fit::Problem search_problem = problem(held);
  std::optional<difference_fit::Fit> fit = difference_fit::fit(search_problem, starts, objective(search_problem));
  if (!fit) return fail("LIABILITY_NO_START_CONVERGED");
  return std::move(*fit);
}

LiabilityFit LiabilityModel::record(const difference_fit::Fit& fit) const {
  const bool finite = std::ranges::all_of(fit.x, [](double v) { return std::isfinite(v); }) && std::isfinite(fit.value);
  const Eigen::VectorXd beta =
      basis_.coefficients(Eigen::Map<const Eigen::VectorXd>(fit.x.data() + 1, static_cast<Eigen::Index>(p_)));
  return LiabilityFit{{beta.begin(), beta.end()},
                      fit.x[0],
                      -fit.value,
                      fit.scaled_gradient,
                      static_cast<double>(cases_) / static_cast<double>(n_),
                      largest_family_,
                      finite && fit.scaled_gradient < 1e-6,
                      fit.polished};
}

Result<LiabilityFit> LiabilityModel::fit_holding(std::optional<double> held) const {
  const Result<difference_fit::Fit> fit = search(held);
  if (!fit) return std::unexpected(fit.error());
  return record(*fit);
}

Result<LiabilityHeritabilityTest> LiabilityModel::heritability_test() const {
  const Result<difference_fit::Fit> full = search(std::nullopt);
  if (!full) return std::unexpected(full.error());
  const Result<difference_fit::Fit> null = search(0.0);
  if (!null) return std::unexpected(null.error());
  if (!record(*full).converged) return fail("LIABILITY_FIT_NOT_CONVERGED");
  if (!record(*null).converged) return fail("LIABILITY_NULL_FIT_NOT_CONVERGED");
  const difference_fit::Problem free_problem = problem(std::nullopt);
  const std::optional<difference_fit::Fit> free =
      difference_fit::above_restricted(free_problem, *full, *null, objective(free_problem));
  if (!free) return fail("LIABILITY_BETTER_UNRESOLVED_OPTIMUM");
  const double statistic = std::fmax(2.0 * (null->value - free->value), 0.0);
  return LiabilityHeritabilityTest{"mixture_50_50", statistic, deviance::p_value(statistic), -null->value};
}

Result<interval::ProfileInterval> LiabilityModel::heritability_interval() const {
  const Result<LiabilityFit> full = fit_holding(std::nullopt);
  if (!full) return std::unexpected(full.error());
  if (!full->converged) return fail("LIABILITY_FIT_NOT_CONVERGED");
  const auto refit = [this](double h2) -> std::optional<double> {
    const Result<LiabilityFit> fit = fit_holding(h2);
    if (!fit || !fit->converged) return std::nullopt;
    return fit->loglik;
  };
  interval::ProfileInterval result = interval::profile_interval(refit, full->h2, 0.0, 1.0);
  if (!result.estimate) return fail("LIABILITY_PROFILE_NOT_EVALUABLE");
  return result;
}

}  // namespace kestrune::liability
