#include "mixed_bivariate/model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/blocks.hpp"
#include "numerics/deviance.hpp"
#include "numerics/difference_fit.hpp"
#include "numerics/relationship_checks.hpp"

namespace kestrune::mixed_bivariate {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

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

// Where a trait's search starts: its measured moments, or 0 and 1 for a binary trait.
tobit::Moments start_moments(const TraitData& trait) {
  if (trait.kind == TraitKind::Binary) return {0.0, 1.0};
  return tobit::measured_moments(trait.value, trait.censoring);
}

MixedBivariateModel::Family cut_family(const blocks::Block& members,
                                       const Eigen::Ref<const Eigen::MatrixXd>& relationship,
                                       const std::array<const TraitData*, 2>& traits,
                                       const Eigen::Ref<const Eigen::MatrixXd>& design) {
  MixedBivariateModel::Family family{relationship(members, members), design(members, Eigen::all), {}};
  const auto m = static_cast<Eigen::Index>(members.size());
  for (std::size_t t = 0; t < 2; ++t) {
    for (Eigen::Index r = 0; r < m; ++r) {
      const std::size_t i = members[r];
      const Eigen::Index coordinate = static_cast<Eigen::Index>(t) * m + r;
      const TraitData& trait = *traits[t];
      family.split.add(coordinate, trait.censoring[i], trait.value[i], trait.limit[i]);
    }
  }
  return family;
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

Result<MixedBivariateModel> MixedBivariateModel::build(const Eigen::Ref<const Eigen::MatrixXd>& relationship,
                                                       TraitData first, TraitData second,
                                                       const Eigen::Ref<const Eigen::MatrixXd>& design) {
  const Eigen::Index n = relationship.rows();
  if (n == 0) return fail("MIXED_BIVARIATE_NO_ROWS");
  if (relationship.cols() != n || design.rows() != n) return fail("MIXED_BIVARIATE_WRONG_SHAPE");
  if (design.cols() == 0) return fail("MIXED_BIVARIATE_DESIGN_HAS_NO_COLUMNS");
  if (!relationship.allFinite() || !design.allFinite()) return fail("MIXED_BIVARIATE_NOT_FINITE");
  for (const TraitData* trait : {&first, &second}) {
    if (const auto fault = trait_fault(*trait, static_cast<std::size_t>(n))) return fail(*fault);
  }
  switch (relationship_checks::pair_by_pair(relationship)) {
    case relationship_checks::PairFault::asymmetric: return fail("MIXED_BIVARIATE_RELATIONSHIP_NOT_SYMMETRIC");
    case relationship_checks::PairFault::too_close: return fail("MIXED_BIVARIATE_RELATIONSHIP_TOO_CLOSE");
    case relationship_checks::PairFault::none: break;
  }
  MixedBivariateModel model;
  for (const blocks::Block& members : blocks::family_blocks(relationship)) {
    model.families_.push_back(cut_family(members, relationship, {&first, &second}, design));
    model.largest_family_ = std::max(model.largest_family_, members.size());
  }
  const std::array<const TraitData*, 2> traits{&first, &second};
  for (std::size_t t = 0; t < 2; ++t) {
    model.kinds_[t] = traits[t]->kind;
    const auto [mean, variance] = start_moments(*traits[t]);
    model.start_mean_[t] = mean;
    model.start_variance_[t] = variance;
  }
  model.p_ = static_cast<std::size_t>(design.cols());
  return model;
}

std::optional<double> MixedBivariateModel::loglik(std::array<double, 2> heritability,
                                                  std::array<double, 2> variance, double genetic_correlation,
                                                  double residual_correlation, std::span<const double> beta_1,
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

Result<MixedBivariateFit> MixedBivariateModel::fit_holding(std::optional<Held> held) const {
  const std::size_t k = 2 * p_ + 6;
  difference_fit::Problem problem{std::vector<double>(k, -infinity), std::vector<double>(k, infinity), 400,
                                  1e-5, {}};
  for (const std::size_t i : {0, 1}) problem.lower[i] = 0.0, problem.upper[i] = 1.0;
  for (const std::size_t t : {0, 1}) {
    if (kinds_[t] == TraitKind::Binary) problem.lower[2 + t] = problem.upper[2 + t] = 0.0;
  }
  for (const std::size_t i : {genetic_correlation, residual_correlation}) problem.lower[i] = -1.0, problem.upper[i] = 1.0;
  if (held) {
    const auto [coordinate, value] = *held;
    if (coordinate > 5) return fail("MIXED_BIVARIATE_HELD_COORDINATE_INVALID");
    if (value < problem.lower[coordinate] || value > problem.upper[coordinate]) {
      return fail("MIXED_BIVARIATE_HELD_VALUE_OUT_OF_RANGE");
    }
    problem.lower[coordinate] = problem.upper[coordinate] = value;
  }
  problem.measure = [&problem](std::span<const double> x, std::span<const double> g) {
    return difference_fit::projected_magnitude(x, g, problem.lower, problem.upper, 0.0);
  };

  std::vector<std::vector<double>> starts;
  for (const auto& [h2, rho] : {std::pair{0.2, 0.0}, std::pair{0.5, 0.3}, std::pair{0.5, -0.3}}) {
    std::vector<double> start(k, 0.0);
    start[0] = start[1] = h2;
    start[2] = std::log(start_variance_[0]);
    start[3] = std::log(start_variance_[1]);
    start[4] = start[5] = rho;
    if (held) start[held->first] = held->second;
    start[6] = start_mean_[0];
    start[6 + p_] = start_mean_[1];
    starts.push_back(std::move(start));
  }
  const difference_fit::Objective objective = [this](std::span<const double> x) {
    const std::optional<double> value =
        loglik({x[0], x[1]}, {std::exp(x[2]), std::exp(x[3])}, x[4], x[5], x.subspan(6, p_), x.subspan(6 + p_));
    return value ? -*value : difference_fit::unevaluable;
  };
  const std::optional<difference_fit::Fit> fit = difference_fit::fit(problem, starts, objective);
  if (!fit) return fail("MIXED_BIVARIATE_NO_START_CONVERGED");
  const std::vector<double>& x = fit->x;
  return MixedBivariateFit{{x.begin() + 6, x.begin() + 6 + static_cast<std::ptrdiff_t>(p_)},
                           {x.begin() + 6 + static_cast<std::ptrdiff_t>(p_), x.end()},
                           "ml",
                           {x[0], x[1]},
                           {std::exp(x[2]), std::exp(x[3])},
                           x[4],
                           x[5],
                           -fit->value,
                           fit->scaled_gradient,
                           largest_family_,
                           kinds_[0],
                           kinds_[1],
                           fit->scaled_gradient < 1e-5};
}

Result<MixedBivariateCorrelationTest> MixedBivariateModel::correlation_test(std::size_t coordinate,
                                                                            double null) const {
  if (coordinate != genetic_correlation && coordinate != residual_correlation) {
    return fail("MIXED_BIVARIATE_COORDINATE_HAS_NO_TEST");
  }
  if (!std::isfinite(null) || std::fabs(null) > 1.0) return fail("MIXED_BIVARIATE_NULL_OUTSIDE_CORRELATION_RANGE");
  const Result<MixedBivariateFit> full = fit_holding(std::nullopt);
  if (!full) return std::unexpected(full.error());
  if (!full->converged) return fail("MIXED_BIVARIATE_FIT_NOT_CONVERGED");
  const Result<MixedBivariateFit> restricted = fit_holding(Held{coordinate, null});
  if (!restricted) return std::unexpected(restricted.error());
  if (!restricted->converged) return fail("MIXED_BIVARIATE_NULL_FIT_NOT_CONVERGED");

  const double statistic = std::fmax(2.0 * (full->loglik - restricted->loglik), 0.0);
  const bool boundary = std::fabs(null) == 1.0;
  double p_value = 1.0;
  if (boundary) {
    p_value = deviance::p_value(statistic);
  } else if (!(statistic < 1e-6)) {
    p_value = std::clamp(deviance::chi2_upper_tail(statistic, 1.0), 0.0, 1.0);
  }
  return MixedBivariateCorrelationTest{*coordinate_name(coordinate), boundary ? "mixture_50_50" : "chi2_1",
                                       statistic, p_value, restricted->loglik, full->loglik};
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
  const auto refit = [this, coordinate](double value) -> std::optional<double> {
    const Result<MixedBivariateFit> fit = fit_holding(Held{coordinate, value});
    if (!fit || !fit->converged) return std::nullopt;
    return fit->loglik;
  };
  interval::ProfileInterval result = interval::profile_interval(refit, estimate, lower, 1.0);
  if (!result.estimate) return fail("MIXED_BIVARIATE_PROFILE_NOT_EVALUABLE");
  return result;
}

}  // namespace kestrune::mixed_bivariate
