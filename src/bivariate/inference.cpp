#include "bivariate/inference.hpp"

#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "bivariate/likelihood.hpp"
#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "numerics/deviance.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/multistart.hpp"
#include "numerics/null_refit.hpp"

namespace kestrune::bivariate {
namespace {

constexpr double unevaluable = 1e30;
constexpr double accepted_below = 1e-6;
constexpr std::size_t profile_maxit = 400;
// Rounds of searches on from a profile's best point at or near an end of a heritability, at most.
constexpr std::size_t profile_rounds = 2;

using Free = std::array<double, 5>;

// One kind of profile: how five free coordinates make theta (nothing where they cannot), and
// how theta's gradient becomes theirs.
struct Profile {
  BoundVectors box;
  std::array<Free, 4> starts;
  std::function<std::optional<Theta>(std::span<const double>)> theta_of;
  std::function<Free(std::span<const double>, const std::array<double, 6>&)> reduce;
  // Whether a point must evaluate with its gradient to be accepted (otherwise its value is
  // enough, and a gradient that cannot be had counts as zero).
  bool gradient_required;
};

struct Point {
  std::optional<Theta> theta;
  std::optional<BivariateEvaluation> with_gradient;
  std::optional<double> value;
};

// One evaluation per point: the gradient's pass also gives the value; only where it is
// refused is the value sought alone.
Point evaluate(Evaluator& evaluator, bool reml, const Profile& profile, std::span<const double> x) {
  Point point{profile.theta_of(x), std::nullopt, std::nullopt};
  if (!point.theta) return point;
  point.with_gradient = evaluator(*point.theta, reml, true, std::nullopt);
  if (point.with_gradient) {
    point.value = point.with_gradient->value;
  } else if (auto alone = evaluator(*point.theta, reml, false, std::nullopt)) {
    point.value = alone->value;
  }
  return point;
}

Free gradient_of(const Profile& profile, std::span<const double> x, const Point& point) {
  if (!point.with_gradient) return Free{};
  return profile.reduce(x, point.with_gradient->gradient);
}

std::optional<double> accepted(const Profile& profile, std::span<const double> x, const Point& point) {
  if (!point.value || !std::isfinite(*point.value)) return std::nullopt;
  if (profile.gradient_required && !point.with_gradient) return std::nullopt;
  const Free g = gradient_of(profile, x, point);
  const double norm = projected_gradient_norm(*point.value, x, g, profile.box.lower, profile.box.upper);
  if (!(norm < accepted_below)) return std::nullopt;
  return point.value;
}

// The smallest accepted value over the start and the end of its run.
std::optional<ProfilePoint> from_start(const StandardisedProblem& problem, bool reml, const Profile& profile,
                                const std::vector<double>& x0) {
  auto created = compat_lbfgsb::Bounds::create(profile.box.lower, profile.box.upper);
  if (!created) return std::nullopt;
  Evaluator evaluator(problem.model, problem.response);
  // A stop asked for is polled at every evaluation; the run then meets NaN, which ends it.
  compat_lbfgsb::compat::LastPointMemo memo([&](std::span<const double> x) {
    return interrupt::requested() ? Point{} : evaluate(evaluator, reml, profile, x);
  });
  const compat_lbfgsb::compat::Objective objective = [&](std::span<const double> x) {
    const Point& point = memo(x);
    if (interrupt::stopping()) return std::numeric_limits<double>::quiet_NaN();
    return point.value ? *point.value : unevaluable;
  };
  const compat_lbfgsb::compat::Gradient gradient = [&](std::span<const double> x) {
    const Free g = gradient_of(profile, x, memo(x));
    return std::vector<double>(g.begin(), g.end());
  };
  const double start_value = objective(x0);
  if (interrupt::stopping()) return std::nullopt;
  std::optional<ProfilePoint> best;
  const auto consider = [&](std::span<const double> x) {
    const Point& point = memo(x);
    if (auto value = accepted(profile, x, point); value && (!best || *value < best->value))
      best = ProfilePoint{*value, *point.theta};
  };
  consider(x0);
  auto control = multistart::start_controls(5, start_value, profile_maxit, 0.0, 1e-8);
  auto run = compat_lbfgsb::compat::run(x0, std::move(*created), objective, gradient, std::move(control));
  if (interrupt::stopping()) return std::nullopt;
  if (run) consider(run->par);
  return best;
}

std::vector<double> clamped(const Free& start, const BoundVectors& box) {
  std::vector<double> x(start.begin(), start.end());
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::fmin(std::fmax(x[i], box.lower[i]), box.upper[i]);
  return x;
}

Free scaled_start(const Theta& hint, const StandardisedProblem& problem, std::span<const std::size_t> indices) {
  Theta full = hint;
  full[0] /= problem.variances[0];
  full[1] /= problem.variances[1];
  Free start{};
  for (std::size_t i = 0; i < 5; ++i) start[i] = full[indices[i]];
  return start;
}

// From a profile's best point (theta[k] held at value, the coordinates `free` searched) at or
// near an end of a free heritability, the searches on from steps off that end, as the fit's:
// a ray whose correlation is the one held keeps it, the others try -1, 0 and 1. The best of
// their ends where it improves on the point, else nothing.
std::optional<ProfilePoint> off_ends(const StandardisedProblem& problem, bool reml, const Profile& profile,
                                     const std::array<std::size_t, 5>& free, std::size_t k, double value,
                                     const ProfilePoint& point) {
  Evaluator evaluator(problem.model, problem.response);
  std::optional<ProfilePoint> best;
  const double above = point.value - (std::fabs(point.value) + 1.0) * 1e-10;
  // The lowest point of a ray below `above`, searched on from.
  const auto search_ray = [&](const std::vector<Theta>& ray) {
    double lowest = above;
    std::optional<std::vector<double>> start;
    for (const Theta& step : ray) {
      Free picked{};
      for (std::size_t i = 0; i < 5; ++i) picked[i] = step[free[i]];
      std::vector<double> x = clamped(picked, profile.box);
      const std::optional<double> there = evaluate(evaluator, reml, profile, x).value;
      if (there && *there < lowest) {
        lowest = *there;
        start = std::move(x);
      }
    }
    if (!start) return;
    const std::optional<ProfilePoint> found = from_start(problem, reml, profile, *start);
    if (found && found->value < point.value && (!best || found->value < best->value)) best = found;
  };
  const auto correlations = [&](HeritabilityHold end) {
    const std::size_t cross = end == HeritabilityHold::HeldAtZero ? 4 : 5;
    const double reach = correlation_reach(problem, end);
    return cross == k ? std::vector<double>{value} : std::vector<double>{-reach, 0.0, reach};
  };
  std::array<HeritabilityHold, 2> ends{};
  for (std::size_t t = 0; t < 2; ++t) {
    ends[t] = k == 2 + t ? HeritabilityHold::Free : end_near(point.theta[2 + t]);
    if (ends[t] == HeritabilityHold::Free) continue;
    for (const double correlation : correlations(ends[t])) search_ray(ray_off(point.theta, t, ends[t], correlation));
  }
  if (ends[0] != HeritabilityHold::Free && ends[0] == ends[1])
    for (const double correlation : correlations(ends[0]))
      search_ray(joint_ray_off(point.theta, ends[0], correlation));
  return best;
}

// theta[k] held at value, the other five free; `face`, where given, lies on this profile.
std::optional<ProfilePoint> profile_held(const StandardisedProblem& problem, bool reml, std::size_t k, double value,
                                         const Hint& hint, const std::optional<ProfilePoint>& face) {
  std::array<std::size_t, 5> free{};
  for (std::size_t i = 0, j = 0; i < 6; ++i)
    if (i != k) free[j++] = i;
  const auto pick = [&](const Theta& full) {
    Free out{};
    for (std::size_t i = 0; i < 5; ++i) out[i] = full[free[i]];
    return out;
  };
  Profile profile{bounds_at(free, problem.model.faces()),
                  {scaled_start(hint, problem, free), pick({1, 1, 0.5, 0.5, 0, 0}), pick({1, 1, 0.3, 0.3, 0.4, 0.4}),
                   pick({1, 1, 0.7, 0.7, -0.3, 0.3})},
                  [&](std::span<const double> x) {
                    Theta theta = {1.0, 1.0, 0.5, 0.5, 0.0, 0.0};
                    theta[k] = value;
                    for (std::size_t i = 0; i < 5; ++i) theta[free[i]] = x[i];
                    return std::optional<Theta>(theta);
                  },
                  [&](std::span<const double>, const std::array<double, 6>& g) { return pick(g); },
                  true};
  std::optional<ProfilePoint> best = multistart::best_of(profile.starts, [&](const Free& start) {
    return from_start(problem, reml, profile, clamped(start, profile.box));
  });
  if (face && (!best || face->value < best->value)) best = face;
  for (std::size_t round = 0; round < profile_rounds && best; ++round) {
    std::optional<ProfilePoint> next = off_ends(problem, reml, profile, free, k, value, *best);
    if (!next) break;
    best = next;
  }
  return best;
}

// The phenotypic correlation held at value: rho_e = (value - sqrt(a) rho_g) / sqrt(c) with
// a = h1 h2 and c = (1 - h1)(1 - h2), defined only where both are positive and |rho_e| <= 1.
struct Phenotypic {
  double value;
  double a, c, rho_e;
  bool feasible() const { return a > 0.0 && c > 0.0 && std::isfinite(rho_e) && std::fabs(rho_e) <= 1.0; }
  static Phenotypic at(double value, std::span<const double> x) {
    const double a = x[2] * x[3], c = (1.0 - x[2]) * (1.0 - x[3]);
    return {value, a, c, (value - std::sqrt(a) * x[4]) / std::sqrt(c)};
  }
};

std::optional<ProfilePoint> profile_phenotypic(const StandardisedProblem& problem, bool reml, double value,
                                         const Hint& hint) {
  constexpr std::array<std::size_t, 5> free = {0, 1, 2, 3, 4};
  Profile profile{bounds_at(free, problem.model.faces()),
                  {scaled_start(hint, problem, free), Free{1, 1, 0.5, 0.5, 0}, Free{1, 1, 0.3, 0.3, 0.4},
                   Free{1, 1, 0.7, 0.7, -0.3}},
                  [value](std::span<const double> x) -> std::optional<Theta> {
                    const Phenotypic p = Phenotypic::at(value, x);
                    if (!p.feasible()) return std::nullopt;
                    return Theta{x[0], x[1], x[2], x[3], x[4], p.rho_e};
                  },
                  [value](std::span<const double> x, const std::array<double, 6>& g) {
                    const double h1 = x[2], h2 = x[3], rho_g = x[4];
                    const double a = h1 * h2, s = std::sqrt((1.0 - h1) * (1.0 - h2)), root = std::sqrt(a);
                    const double rest = value - root * rho_g;
                    const double d_h1 = -rho_g * h2 / (2.0 * root * s) + rest * (1.0 - h2) / (2.0 * s * s * s);
                    const double d_h2 = -rho_g * h1 / (2.0 * root * s) + rest * (1.0 - h1) / (2.0 * s * s * s);
                    const double d_rho_g = -root / s;
                    return Free{g[0], g[1], g[2] + g[5] * d_h1, g[3] + g[5] * d_h2, g[4] + g[5] * d_rho_g};
                  },
                  false};
  return multistart::best_of(profile.starts, [&](const Free& start) -> std::optional<ProfilePoint> {
    std::vector<double> x0 = clamped(start, profile.box);
    const double a = x0[2] * x0[3], c = (1.0 - x0[2]) * (1.0 - x0[3]);
    if (a > 0.0) {
      const double lo = std::fmax((value - std::sqrt(c)) / std::sqrt(a), -1.0);
      const double hi = std::fmin((value + std::sqrt(c)) / std::sqrt(a), 1.0);
      if (lo <= hi) x0[4] = std::fmin(std::fmax(x0[4], lo), hi);
    }
    if (!Phenotypic::at(value, x0).feasible()) return std::nullopt;
    return from_start(problem, reml, profile, x0);
  });
}

std::optional<std::size_t> held_index(BivariateQuantity quantity) {
  switch (quantity) {
    case BivariateQuantity::h2_first: return 2;
    case BivariateQuantity::h2_second: return 3;
    case BivariateQuantity::rho_g: return 4;
    case BivariateQuantity::rho_e: return 5;
    case BivariateQuantity::rho_p: break;
  }
  return std::nullopt;
}

Result<double> estimate_of(const BivariateFit& fit, BivariateQuantity quantity) {
  std::optional<double> estimate;
  switch (quantity) {
    case BivariateQuantity::h2_first: estimate = fit.h2_first; break;
    case BivariateQuantity::h2_second: estimate = fit.h2_second; break;
    case BivariateQuantity::rho_g: estimate = fit.genetic_correlation; break;
    case BivariateQuantity::rho_e: estimate = fit.residual_correlation; break;
    case BivariateQuantity::rho_p: estimate = fit.phenotypic_correlation; break;
  }
  if (!estimate) return fail("BIVARIATE_QUANTITY_ABSENT");
  return *estimate;
}

std::optional<ProfilePoint> profile_found(const StandardisedProblem& problem, bool reml, BivariateQuantity quantity,
                                          double value, const Hint& hint, const std::optional<ProfilePoint>& face) {
  // The face lies on the profile of every admissible value of its correlation.
  if (const auto k = held_index(quantity))
    return profile_held(problem, reml, *k, value, hint, std::fabs(value) <= 1.0 ? face : std::nullopt);
  return profile_phenotypic(problem, reml, value, hint);
}

// The fit's best converged point with a heritability held at the end where the correlation
// `quantity` names has no meaning (0 for rho_g, 1 for rho_e), on the searched scale; nothing for
// the other quantities, or where the fit has no such point.
std::optional<ProfilePoint> uncorrelated_face(const Candidates& candidates, BivariateQuantity quantity,
                                              const StandardisedProblem& problem) {
  if (quantity != BivariateQuantity::rho_g && quantity != BivariateQuantity::rho_e) return std::nullopt;
  const HeritabilityHold end =
      quantity == BivariateQuantity::rho_g ? HeritabilityHold::HeldAtZero : HeritabilityHold::HeldAtOne;
  std::optional<ProfilePoint> face;
  for (const OptimisationCandidate& candidate : candidates.converged) {
    if (candidate.state.first != end && candidate.state.second != end) continue;
    if (face && !(candidate.standardised_objective < face->value)) continue;
    Theta theta = candidate.theta;
    theta[0] /= problem.variances[0];
    theta[1] /= problem.variances[1];
    face = ProfilePoint{candidate.standardised_objective, theta};
  }
  return face;
}

// A maximum of the standardised log-likelihood, as the refit rule reads it.
struct Maximum {
  double loglik;
  bool converged;
};

bool is_heritability(BivariateQuantity quantity) {
  return quantity == BivariateQuantity::h2_first || quantity == BivariateQuantity::h2_second;
}

// What the interval and the test share: the fit, its estimate of the quantity, the start
// every refit takes from it, the standardised problem and the log-likelihood at the fit.
struct Anchor {
  double estimate;
  Hint hint;
  StandardisedProblem problem;
  double loglik;
  std::optional<ProfilePoint> face;  // see `uncorrelated_face`
};

Result<Anchor> anchor(const BivariateModel& model, const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                      BivariateQuantity quantity) {
  auto searched = searched_fit(model, y, reml);
  if (!searched) return std::unexpected(searched.error());
  const BivariateFit& fitted = searched->fit;
  auto estimate = estimate_of(fitted, quantity);
  if (!estimate) return std::unexpected(estimate.error());
  auto problem = model.standardised_problem(y);
  if (!problem) return std::unexpected(problem.error());
  const double loglik = fitted.loglik + problem->constant(reml);
  std::optional<ProfilePoint> face = uncorrelated_face(searched->candidates, quantity, *problem);
  return Anchor{*estimate, hint_of(fitted), std::move(*problem), loglik, std::move(face)};
}

}  // namespace

Hint hint_of(const BivariateFit& fit) {
  return {fit.variance_first,         fit.variance_second,
          fit.h2_first,               fit.h2_second,
          fit.genetic_correlation.value_or(0.0), fit.residual_correlation.value_or(0.0)};
}

std::optional<double> profile_at(const StandardisedProblem& problem, bool reml, BivariateQuantity quantity,
                                 double value, const Hint& hint, const std::optional<ProfilePoint>& face) {
  const std::optional<ProfilePoint> found = profile_found(problem, reml, quantity, value, hint, face);
  if (!found) return std::nullopt;
  return -found->value;
}

Result<double> full_above_null(const StandardisedProblem& problem, bool reml, double full, const Theta& null_theta,
                               double null_loglik) {
  const auto from_null = [&]() -> Result<Maximum> {
    auto again = search(problem, reml, {HeritabilityHold::Free, HeritabilityHold::Free}, null_theta);
    if (!again) return std::unexpected(again.error());
    if (!*again) return fail("BIVARIATE_NULL_FIT_FAILED");
    // The run from the null may end at or near an end of a heritability as the fit's own may.
    Candidates candidates;
    candidates.add(std::move(**again));
    auto chosen = choose(problem, reml, candidates);
    if (!chosen) return std::unexpected(chosen.error());
    return Maximum{-chosen->standardised_objective, chosen->converged};
  };
  auto kept = null_refit::full_above_null(Maximum{full, true}, null_loglik, from_null,
                                          "BIVARIATE_BETTER_UNRESOLVED_OPTIMUM");
  if (!kept) return std::unexpected(kept.error());
  return kept->loglik;
}

Result<interval::ProfileInterval> profile_interval(const BivariateModel& model,
                                                   const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                                                   BivariateQuantity quantity) {
  auto found = anchor(model, y, reml, quantity);
  if (!found) return std::unexpected(found.error());
  const Anchor& at = *found;
  const bool heritability = is_heritability(quantity);
  const double lower = heritability ? heritability_edge : -1.0;
  const double upper = heritability ? 1.0 - heritability_edge : 1.0;
  auto refit = [&](double value) -> std::optional<double> {
    if (value == at.estimate) return at.loglik;
    return profile_at(at.problem, reml, quantity, value, at.hint, at.face);
  };
  interval::ProfileInterval result = interval::profile_interval(refit, at.estimate, lower, upper);
  if (!result.estimate) return fail("BIVARIATE_PROFILE_MAXIMUM_FAILED");
  return result;
}

Result<CorrelationTestResult> correlation_test(const BivariateModel& model,
                                               const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                                               BivariateQuantity quantity, double null) {
  if (is_heritability(quantity)) return fail("BIVARIATE_NOT_A_CORRELATION");
  auto found = anchor(model, y, reml, quantity);
  if (!found) return std::unexpected(found.error());
  const Anchor& at = *found;
  double full = at.loglik;
  double null_loglik = full;
  if (null != at.estimate) {
    const std::optional<ProfilePoint> profiled = profile_found(at.problem, reml, quantity, null, at.hint, at.face);
    if (!profiled) return fail(interrupt::stopping() ? interrupt::code : "BIVARIATE_NULL_FIT_FAILED");
    null_loglik = -profiled->value;
    auto resolved = full_above_null(at.problem, reml, full, profiled->theta, null_loglik);
    if (!resolved) return std::unexpected(resolved.error());
    full = *resolved;
  }
  const double difference = full - null_loglik;
  const double statistic = std::fmax(difference + difference, 0.0);
  CorrelationTestResult result{"chi2_1", statistic, 1.0, at.problem.publish(null_loglik, reml),
                               at.problem.publish(full, reml)};
  if (std::fabs(null) >= 1.0) {
    result.reference = "mixture_50_50";
    result.p_value = deviance::p_value(statistic);
  } else if (!(statistic < 1e-6)) {
    result.p_value = std::fmin(std::fmax(deviance::chi2_upper_tail(statistic, 1.0), 0.0), 1.0);
  }
  return result;
}

}  // namespace kestrune::bivariate
