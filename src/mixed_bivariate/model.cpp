#include "mixed_bivariate/model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/blocks.hpp"
#include "numerics/deviance.hpp"
#include "numerics/member_order.hpp"
#include "numerics/rank.hpp"
#include "numerics/relationship_checks.hpp"
#include "numerics/step_off.hpp"

namespace kestrune::mixed_bivariate {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
// A free heritability this near an end is looked at from that end as well: the correlation the
// end removes pulls on the search only in proportion to sqrt(h) or sqrt(1 - h).
constexpr double near_end = 1e-3;
// A step off rises when it falls below the point's value by more than this share of it.
constexpr double rise_tolerance = 1e-10;

// Starts off the ends of a free heritability x lies at or near. At a heritability of 0 the
// genetic correlation, at 1 the residual one, has no pull on the search: each trait at an end
// steps off it with the correlation that end carries at -1, 0 and 1 (only at its value where it
// is held), and both traits at the same end step off it together, each step the lowest of its
// ray of lengths that rises. Steps of both traits by d u_t^2 with the correlation sign(u_1 u_2)
// open the end's covariance matrix by d D u u' D (D the root total variances): their value's
// first-order change u'Mu is read from three probes, and u also taken where it is least.
std::vector<std::vector<double>> steps_off(const difference_fit::Problem& problem, const difference_fit::Objective& f,
                                           std::span<const double> x, double value) {
  const auto free = [&](std::size_t i) { return problem.lower[i] < problem.upper[i]; };
  std::array<std::optional<double>, 2> end;
  for (const std::size_t t : {0, 1}) {
    if (!free(t)) continue;
    if (x[t] < near_end) end[t] = 0.0;
    if (x[t] > 1.0 - near_end) end[t] = 1.0;
  }
  std::vector<std::vector<double>> starts;
  const double above = step_off::rise_threshold(value, rise_tolerance);
  const auto value_at = [&](const std::vector<double>& y) -> std::optional<double> {
    const double there = f(y);
    return there < difference_fit::unevaluable ? std::optional<double>(there) : std::nullopt;
  };
  // x with the heritabilities of the traits `moved` off the end `to` by d times their shares,
  // and the correlation that end carries at c where it is free.
  const auto stepped = [&](double to, double d, const Eigen::Vector2d& share, double c, std::array<bool, 2> moved) {
    std::vector<double> y(x.begin(), x.end());
    for (const std::size_t t : {0, 1})
      if (moved[t]) y[t] = to == 0.0 ? d * share[t] : 1.0 - d * share[t];
    const std::size_t carried = to == 0.0 ? genetic_correlation : residual_correlation;
    if (free(carried)) y[carried] = c;
    return y;
  };
  const auto ray = [&](double to, const Eigen::Vector2d& share, double c, std::array<bool, 2> moved) {
    std::vector<std::vector<double>> points;
    for (const double d : step_off::quarter_steps(0.25, 4e-15)) points.push_back(stepped(to, d, share, c, moved));
    if (auto start = step_off::lowest_below(points, value_at, above)) starts.push_back(std::move(*start));
  };
  const auto correlations = [&](double to) {
    const std::size_t carried = to == 0.0 ? genetic_correlation : residual_correlation;
    return free(carried) ? std::vector<double>{-1.0, 0.0, 1.0} : std::vector<double>{x[carried]};
  };
  for (const std::size_t t : {0, 1}) {
    if (!end[t]) continue;
    for (const double c : correlations(*end[t]))
      ray(*end[t], Eigen::Vector2d::Ones(), c, {t == 0, t == 1});
  }
  if (!end[0] || !end[1] || *end[0] != *end[1]) return starts;
  const double to = *end[0];
  for (const double c : correlations(to)) ray(to, Eigen::Vector2d::Ones(), c, {true, true});
  if (!free(to == 0.0 ? genetic_correlation : residual_correlation)) return starts;
  // The first-order change along d D u u' D, u'Mu, from probes along u = e_1, e_2 and (1, 1).
  const double probe = 1e-6;
  const std::optional<double> at_end = value_at(stepped(to, 0.0, Eigen::Vector2d::Ones(), 0.0, {true, true}));
  const auto slope = [&](const Eigen::Vector2d& share) -> std::optional<double> {
    const std::optional<double> there = value_at(stepped(to, probe, share, 1.0, {true, true}));
    if (!at_end || !there) return std::nullopt;
    return (*there - *at_end) / probe;
  };
  const std::optional<double> first = slope(Eigen::Vector2d::Unit(0)), second = slope(Eigen::Vector2d::Unit(1)),
                              both = slope(Eigen::Vector2d::Ones());
  if (!first || !second || !both) return starts;
  Eigen::Matrix2d m;
  m << *first, 0.5 * (*both - *first - *second), 0.5 * (*both - *first - *second), *second;
  const Eigen::Vector2d u = step_off::smallest(m);
  ray(to, u.cwiseAbs2(), u[0] * u[1] < 0.0 ? -1.0 : 1.0, {true, true});
  return starts;
}

// The length, row and kind checks of one trait.
std::optional<std::string_view> trait_fault(const TraitData& trait, std::size_t n) {
  if (trait.value.size() != n || trait.censoring.size() != n || trait.limit.size() != n) {
    return "MIXED_BIVARIATE_TRAIT_WRONG_LENGTH";
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (trait.censoring[i] == Censoring::Measured) {
      if (!std::isfinite(trait.value[i])) return "MIXED_BIVARIATE_MEASURED_VALUE_NOT_FINITE";
    } else if (!std::isfinite(trait.limit[i])) {
      return "MIXED_BIVARIATE_LIMIT_NOT_FINITE";
    }
  }
  const auto measured = std::ranges::count(trait.censoring, Censoring::Measured);
  switch (trait.kind) {
    case TraitKind::Continuous:
      if (static_cast<std::size_t>(measured) != n) return "MIXED_BIVARIATE_CONTINUOUS_TRAIT_IS_CENSORED";
      break;
    case TraitKind::Binary: {
      if (measured > 0) return "MIXED_BIVARIATE_BINARY_TRAIT_HAS_A_MEASURED_VALUE";
      const auto cases = std::ranges::count(trait.censoring, Censoring::AtOrAbove);
      if (cases == 0 || static_cast<std::size_t>(cases) == n) return "MIXED_BIVARIATE_BINARY_TRAIT_ALL_ONE_STATUS";
      break;
    }
    case TraitKind::Censored:
      if (measured == 0) return "MIXED_BIVARIATE_CENSORED_TRAIT_HAS_NO_SCALE";
      break;
  }
  return std::nullopt;
}

// A binary trait as it is; any other on its least-squares fit and its measured spread.
tobit::Standardised standardised(const TraitData& trait, const design_basis::Basis& basis) {
  if (trait.kind == TraitKind::Binary) {
    return tobit::Standardised::unchanged(trait.value, trait.limit, static_cast<std::size_t>(basis.columns().cols()));
  }
  return tobit::standardise(basis, trait.value, trait.censoring, trait.limit);
}

MixedBivariateModel::Family cut_family(const blocks::Block& members, const matrix_scan::Strided& relationship,
                                       const std::array<const TraitData*, 2>& traits,
                                       const std::array<tobit::Standardised, 2>& standard,
                                       const Eigen::Ref<const Eigen::MatrixXd>& design) {
  MixedBivariateModel::Family family{relationship.cut(members), design(members, Eigen::all), {}};
  const auto m = static_cast<Eigen::Index>(members.size());
  for (std::size_t t = 0; t < 2; ++t) {
    for (Eigen::Index r = 0; r < m; ++r) {
      const std::size_t i = members[r];
      const Eigen::Index coordinate = static_cast<Eigen::Index>(t) * m + r;
      family.split.add(coordinate, traits[t]->censoring[i], standard[t].value[i], standard[t].limit[i]);
    }
  }
  return family;
}

// What each person is, whatever the order of the sample: design row, then each trait's code
// and its value or limit.
Eigen::MatrixXd person_keys(const Eigen::Ref<const Eigen::MatrixXd>& design,
                            const std::array<const TraitData*, 2>& traits) {
  const Eigen::Index p = design.cols();
  Eigen::MatrixXd keys(design.rows(), p + 4);
  keys.leftCols(p) = design;
  for (Eigen::Index i = 0; i < design.rows(); ++i) {
    for (Eigen::Index t = 0; t < 2; ++t) {
      const TraitData& trait = *traits[t];
      keys(i, p + 2 * t) = static_cast<double>(trait.censoring[i]);
      keys(i, p + 2 * t + 1) = trait.censoring[i] == Censoring::Measured ? trait.value[i] : trait.limit[i];
    }
  }
  return keys;
}

// The parts of a family's covariance: genetic and residual variances of each trait and the two
// cross covariances, so that an entry is one product with the relationship.
struct Scales {
  double genetic[2];
  double residual[2];
  double genetic_cross;
  double residual_cross;
};

// The family's trait-major covariance.
void family_covariance(const Eigen::MatrixXd& relationship, const Scales& scales, Eigen::MatrixXd& v) {
  const Eigen::Index m = relationship.rows();
  v.resize(2 * m, 2 * m);
  for (Eigen::Index b = 0; b < 2 * m; ++b) {
    for (Eigen::Index a = 0; a < 2 * m; ++a) {
      const Eigen::Index ta = a / m, tb = b / m, i = a % m, j = b % m;
      const double relation = relationship(i, j);
      v(a, b) = ta == tb ? scales.genetic[ta] * relation + (i == j ? scales.residual[ta] : 0.0)
                         : scales.genetic_cross * relation + (i == j ? scales.residual_cross : 0.0);
    }
  }
}

bool finite_all(std::span<const double> values) {
  return std::ranges::all_of(values, [](double v) { return std::isfinite(v); });
}

}  // namespace

std::optional<std::string_view> coordinate_name(std::size_t coordinate) {
  switch (coordinate) {
    case 0: return "heritability_one";
    case 1: return "heritability_two";
    case genetic_correlation: return "genetic_correlation";
    case residual_correlation: return "residual_correlation";
    default: return std::nullopt;
  }
}

Result<MixedBivariateModel> MixedBivariateModel::build(const matrix_scan::Strided& relationship, TraitData first,
                                                       TraitData second, const matrix_scan::Strided& design_view) {
  const Eigen::Index n = relationship.rows;
  if (n == 0) return fail("MIXED_BIVARIATE_NO_ROWS");
  if (relationship.cols != n || design_view.rows != n) return fail("MIXED_BIVARIATE_WRONG_SHAPE");
  if (design_view.cols == 0) return fail("MIXED_BIVARIATE_DESIGN_HAS_NO_COLUMNS");
  blocks::Links links(static_cast<std::size_t>(n));
  const matrix_scan::Findings found = matrix_scan::scan(relationship, relationship_checks::pair_tests, &links);
  if (!found.finite || !matrix_scan::all_finite(design_view)) return fail("MIXED_BIVARIATE_NOT_FINITE");
  for (const TraitData* trait : {&first, &second}) {
    if (const auto fault = trait_fault(*trait, static_cast<std::size_t>(n))) return fail(*fault);
  }
  switch (relationship_checks::pair_by_pair(found)) {
    case relationship_checks::PairFault::asymmetric: return fail("MIXED_BIVARIATE_RELATIONSHIP_NOT_SYMMETRIC");
    case relationship_checks::PairFault::too_close: return fail("MIXED_BIVARIATE_RELATIONSHIP_TOO_CLOSE");
    case relationship_checks::PairFault::none: break;
  }
  // A design wider than tall is refused before it is copied.
  if (rank::too_wide(design_view.rows, design_view.cols)) return fail("MIXED_BIVARIATE_DESIGN_RANK_DEFICIENT");
  const Eigen::MatrixXd design = design_view.copy();
  if (!rank::full_column_rank(design)) return fail("MIXED_BIVARIATE_DESIGN_RANK_DEFICIENT");
  // The search runs on unit-spread directions of the design (a covariate's offset would make its
  // fixed-effect directions nearly parallel); the members' order stays keyed on the caller's rows.
  MixedBivariateModel model(design_basis::Basis::standardised(design));
  const std::array<const TraitData*, 2> traits{&first, &second};
  for (std::size_t t = 0; t < 2; ++t) {
    model.kinds_[t] = traits[t]->kind;
    model.traits_[t] = standardised(*traits[t], model.basis_);
  }
  const Eigen::MatrixXd keys = person_keys(design, traits);
  for (const blocks::Block& members : matrix_scan::families(relationship, links)) {
    model.families_.push_back(cut_family(member_order::canonical(members, keys, relationship), relationship, traits,
                                         model.traits_, model.basis_.columns()));
    model.largest_family_ = std::max(model.largest_family_, members.size());
  }
  model.p_ = static_cast<std::size_t>(design.cols());
  return model;
}

std::optional<double> MixedBivariateModel::loglik(std::array<double, 2> heritability,
                                                  std::array<double, 2> variance, double genetic_correlation,
                                                  double residual_correlation, std::span<const double> beta_1,
                                                  std::span<const double> beta_2) const {
  if (beta_1.size() != p_ || beta_2.size() != p_) return std::nullopt;
  const auto& [one, two] = traits_;
  const std::optional<double> value =
      standard_loglik(heritability, {variance[0] / (one.scale * one.scale), variance[1] / (two.scale * two.scale)},
                      genetic_correlation, residual_correlation, one.standard_effects(basis_, beta_1),
                      two.standard_effects(basis_, beta_2));
  if (!value) return std::nullopt;
  return two.loglik(one.loglik(*value));
}

std::optional<double> MixedBivariateModel::standard_loglik(std::array<double, 2> heritability,
                                                           std::array<double, 2> variance,
                                                           double genetic_correlation, double residual_correlation,
                                                           std::span<const double> beta_1,
                                                           std::span<const double> beta_2) const {
  for (std::size_t t = 0; t < 2; ++t) {
    if (!(heritability[t] >= 0.0 && heritability[t] <= 1.0)) return std::nullopt;
    if (!std::isfinite(variance[t]) || !(variance[t] > 0.0)) return std::nullopt;
  }
  if (beta_1.size() != p_ || beta_2.size() != p_ || !finite_all(beta_1) || !finite_all(beta_2)) return std::nullopt;
  if (!(std::fabs(genetic_correlation) <= 1.0) || !(std::fabs(residual_correlation) <= 1.0)) return std::nullopt;

  Scales scales{};
  for (std::size_t t = 0; t < 2; ++t) {
    scales.genetic[t] = heritability[t] * variance[t];
    scales.residual[t] = (1.0 - heritability[t]) * variance[t];
  }
  scales.genetic_cross = genetic_correlation * std::sqrt(scales.genetic[0] * scales.genetic[1]);
  scales.residual_cross = residual_correlation * std::sqrt(scales.residual[0] * scales.residual[1]);

  double total = 0.0;
  Eigen::VectorXd mean;
  Eigen::MatrixXd v;
  for (const Family& family : families_) {
    const Eigen::Index m = family.design.rows();
    mean = Eigen::VectorXd::Zero(2 * m);
    for (Eigen::Index r = 0; r < m; ++r) {
      for (std::size_t c = 0; c < p_; ++c) {
        const double x = family.design(r, static_cast<Eigen::Index>(c));
        mean[r] += x * beta_1[c];
        mean[m + r] += x * beta_2[c];
      }
    }
    family_covariance(family.relationship, scales, v);
    const std::optional<double> term = tobit::censored_loglik(v, mean, family.split);
    if (!term) return std::nullopt;
    total += *term;
  }
  if (!std::isfinite(total)) return std::nullopt;
  return total;
}

difference_fit::Problem MixedBivariateModel::problem(std::optional<Held> held) const {
  std::vector<double> lower(2 * p_ + 6, -infinity);
  std::vector<double> upper(lower.size(), infinity);
  for (const std::size_t i : {0, 1}) lower[i] = 0.0, upper[i] = 1.0;
  for (const std::size_t t : {0, 1}) {
    if (kinds_[t] == TraitKind::Binary) lower[2 + t] = upper[2 + t] = 0.0;
  }
  for (const std::size_t i : {genetic_correlation, residual_correlation}) lower[i] = -1.0, upper[i] = 1.0;
  if (held) lower[held->first] = upper[held->first] = held->second;
  return difference_fit::box_problem(std::move(lower), std::move(upper), 400, 1e-5, 0.0);
}

difference_fit::Objective MixedBivariateModel::objective(const difference_fit::Problem& problem) const {
  difference_fit::Objective f = [this](std::span<const double> x) {
    const std::optional<double> value = standard_loglik({x[0], x[1]}, {std::exp(x[2]), std::exp(x[3])}, x[4], x[5],
                                                        x.subspan(6, p_), x.subspan(6 + p_));
    return value ? -*value : difference_fit::unevaluable;
  };
  return change_ ? change_(problem, std::move(f)) : f;
}

MixedBivariateModel MixedBivariateModel::with_objective_change(difference_fit::ObjectiveChange change) const {
  MixedBivariateModel changed = *this;
  changed.change_ = std::move(change);
  return changed;
}

Result<difference_fit::Fit> MixedBivariateModel::search(std::optional<Held> held) const {
  if (held) {
    const difference_fit::Problem free = problem(std::nullopt);
    const auto [coordinate, value] = *held;
    if (coordinate > 5) return fail("MIXED_BIVARIATE_HELD_COORDINATE_INVALID");
    if (value < free.lower[coordinate] || value > free.upper[coordinate]) {
      return fail("MIXED_BIVARIATE_HELD_VALUE_OUT_OF_RANGE");
    }
  }
  std::vector<std::vector<double>> starts;
  for (const auto& [h2, rho] : {std::pair{0.2, 0.0}, std::pair{0.5, 0.3}, std::pair{0.5, -0.3}}) {
    std::vector<double> start{h2, h2, 0.0, 0.0, rho, rho};
    if (held) start[held->first] = held->second;
    start.resize(6 + 2 * p_, 0.0);
    starts.push_back(std::move(start));
  }
  const difference_fit::Problem search_problem = problem(held);
  const difference_fit::Objective f = objective(search_problem);
  const bool has_maximum = traits_[0].has_maximum && traits_[1].has_maximum;
  std::optional<difference_fit::Fit> fit = has_maximum ? difference_fit::fit(search_problem, starts, f)
                                                       : tobit::unsearched(starts.front(), f);
  if (!fit) return fail("MIXED_BIVARIATE_NO_START_CONVERGED");
  if (!has_maximum) return std::move(*fit);
  return difference_fit::off_ends(search_problem, std::move(*fit), f, [&](std::span<const double> x, double value) {
    return steps_off(search_problem, f, x, value);
  });
}

MixedBivariateFit MixedBivariateModel::record(const difference_fit::Fit& fit) const {
  const std::span<const double> x = fit.x;
  const auto& [one, two] = traits_;
  MixedBivariateFit result{one.effects(basis_, x.subspan(6, p_)),
                           two.effects(basis_, x.subspan(6 + p_)),
                           "ml",
                           {x[0], x[1]},
                           {one.variance(std::exp(x[2])), two.variance(std::exp(x[3]))},
                           x[4],
                           x[5],
                           two.loglik(one.loglik(-fit.value)),
                           fit.scaled_gradient,
                           largest_family_,
                           kinds_[0],
                           kinds_[1],
                           false};
  const bool finite = finite_all(result.beta_1) && finite_all(result.beta_2) && finite_all(result.variance) &&
                      finite_all(x.subspan(0, 6)) && std::isfinite(result.loglik);
  result.converged = finite && fit.scaled_gradient < 1e-5 && !fit.rises;
  return result;
}

Result<MixedBivariateFit> MixedBivariateModel::fit_holding(std::optional<Held> held) const {
  const Result<difference_fit::Fit> fit = search(held);
  if (!fit) return std::unexpected(fit.error());
  return record(*fit);
}

Result<MixedBivariateCorrelationTest> MixedBivariateModel::correlation_test(std::size_t coordinate,
                                                                            double null) const {
  if (coordinate != genetic_correlation && coordinate != residual_correlation) {
    return fail("MIXED_BIVARIATE_COORDINATE_HAS_NO_TEST");
  }
  if (!std::isfinite(null) || std::fabs(null) > 1.0) return fail("MIXED_BIVARIATE_NULL_OUTSIDE_CORRELATION_RANGE");
  const Result<difference_fit::Fit> full = search(std::nullopt);
  if (!full) return std::unexpected(full.error());
  if (!record(*full).converged) return fail("MIXED_BIVARIATE_FIT_NOT_CONVERGED");
  const Result<difference_fit::Fit> restricted = search(Held{coordinate, null});
  if (!restricted) return std::unexpected(restricted.error());
  if (!record(*restricted).converged) return fail("MIXED_BIVARIATE_NULL_FIT_NOT_CONVERGED");
  const difference_fit::Problem free_problem = problem(std::nullopt);
  const std::optional<difference_fit::Fit> free =
      difference_fit::above_restricted(free_problem, *full, *restricted, objective(free_problem));
  if (!free) return fail("MIXED_BIVARIATE_BETTER_UNRESOLVED_OPTIMUM");

  const double statistic = std::fmax(2.0 * (restricted->value - free->value), 0.0);
  const bool boundary = std::fabs(null) == 1.0;
  double p_value = 1.0;
  if (boundary) {
    p_value = deviance::p_value(statistic);
  } else if (!(statistic < 1e-6)) {
    p_value = std::clamp(deviance::chi2_upper_tail(statistic, 1.0), 0.0, 1.0);
  }
  return MixedBivariateCorrelationTest{*coordinate_name(coordinate), boundary ? "mixture_50_50" : "chi2_1",
                                       statistic, p_value, record(*restricted).loglik, record(*free).loglik};
}

Result<interval::ProfileInterval> MixedBivariateModel::profile_interval(std::size_t coordinate) const {
  if (!coordinate_name(coordinate)) return fail("MIXED_BIVARIATE_COORDINATE_HAS_NO_INTERVAL");
  const double lower = coordinate < 2 ? 0.0 : -1.0;
  const Result<MixedBivariateFit> full = fit_holding(std::nullopt);
  if (!full) return std::unexpected(full.error());
  if (!full->converged) return fail("MIXED_BIVARIATE_FIT_NOT_CONVERGED");
  const double estimate = coordinate == 0   ? full->heritability[0]
                          : coordinate == 1 ? full->heritability[1]
                          : coordinate == genetic_correlation ? full->genetic_correlation
                                                              : full->residual_correlation;
  // Only differences of the log-likelihood count: they are read in the standardised units.
  const auto refit = [this, coordinate](double value) -> std::optional<double> {
    const Result<difference_fit::Fit> fit = search(Held{coordinate, value});
    if (!fit || !record(*fit).converged) return std::nullopt;
    return -fit->value;
  };
  interval::ProfileInterval result = interval::profile_interval(refit, estimate, lower, 1.0);
  if (!result.estimate) return fail("MIXED_BIVARIATE_PROFILE_NOT_EVALUABLE");
  return result;
}

}  // namespace kestrune::mixed_bivariate
