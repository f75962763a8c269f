#include "bivariate/fit.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <limits>
#include <utility>

#include "bivariate/likelihood.hpp"
#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "numerics/convergence.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/multistart.hpp"
#include "numerics/step_off.hpp"

namespace kestrune::bivariate {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::array<double, 6> lower_table = {variance_floor, variance_floor, heritability_edge,
                                               heritability_edge, -1.0, -1.0};
constexpr std::array<double, 6> upper_table = {infinity, infinity, 1.0 - heritability_edge,
                                               1.0 - heritability_edge, 1.0, 1.0};
// A free heritability this close to an end is treated as lying on it.
constexpr double interior_margin = 1e-12 + heritability_edge;
constexpr double converged_below = 1e-6;
constexpr double selection_tolerance = 1e-10;
constexpr double penalty_scale = 1e20;
// A residual correlation this close to +-1 at the end of a run that did not converge is on its
// way to that face.
constexpr double heading_to_face = 1e-4;
// A free heritability this near an end is looked at from that end as well: the correlation the
// end removes pulls on the search only in proportion to sqrt(h) or sqrt(1 - h).
constexpr double near_face = 1e-3;
// The shortest step off an end tried, relative to the larger total variance.
constexpr double step_shortest = 1e-15;
// Rounds of searches on from the point a fit would report or be refused by, at most.
constexpr std::size_t most_rounds = 4;

constexpr std::array<Theta, 3> fit_starts = {{
    {1.0, 1.0, 0.5, 0.5, 0.0, 0.0},
    {1.0, 1.0, 0.3, 0.3, 0.5, 0.5},
    {1.0, 1.0, 0.7, 0.7, -0.3, 0.3},
}};

double held_value(HeritabilityHold hold) {
  switch (hold) {
    case HeritabilityHold::HeldAtZero: return 0.0;
    case HeritabilityHold::HeldAtOne: return 1.0;
    case HeritabilityHold::Free: break;
  }
  return 0.5;
}

bool total_less(double a, double b) { return std::strong_order(a, b) == std::strong_ordering::less; }

bool interior(double h) { return h > interior_margin && h < 1.0 - interior_margin; }

// Where the likelihood cannot be evaluated the search meets a steep bowl centred on
// h = 1/2 and zero correlations, which pushes it back to where it can.
double penalty(const Theta& t) {
  const double a = t[2] - 0.5, b = t[3] - 0.5;
  return penalty_scale * (((a * a) + 1.0) + b * b + t[4] * t[4] + t[5] * t[5]);
}

std::vector<double> at(std::span<const double> full, std::span<const std::size_t> indices) {
  std::vector<double> picked;
  picked.reserve(indices.size());
  for (const std::size_t i : indices) picked.push_back(full[i]);
  return picked;
}

std::vector<double> penalty_gradient(const Theta& t, std::span<const std::size_t> indices) {
  const double twice = 2.0 * penalty_scale;
  const std::array<double, 6> full = {0.0, 0.0, twice * (t[2] - 0.5), twice * (t[3] - 0.5), twice * t[4],
                                      twice * t[5]};
  return at(full, indices);
}

std::size_t free_count(HeritabilityState state) { return free_indices(state).size(); }

// rho_p = rho_g sqrt(h1 h2) + rho_e sqrt((1 - h1)(1 - h2)): the variances cancel, so it is
// read without them and stays finite wherever they are.
double phenotypic_correlation(const Theta& t) {
  const auto [v1, v2, h1, h2, rho_g, rho_e] = t;
  return rho_g * std::sqrt(std::fmax(h1 * h2, 0.0)) + rho_e * std::sqrt((1.0 - h1) * (1.0 - h2));
}

HeritabilityHold& hold_of(HeritabilityState& state, std::size_t trait) {
  return trait == 0 ? state.first : state.second;
}

// theta from the two covariance matrices, where both traits have a total variance: the inverse of
// `covariances`, a correlation 0 where its trait's variances leave it no meaning.
Theta theta_of(const Covariances& c) {
  Theta t{};
  for (std::size_t i = 0; i < 2; ++i) {
    const auto k = static_cast<Eigen::Index>(i);
    t[i] = c.genetic(k, k) + c.residual(k, k);
    t[2 + i] = std::fmin(std::fmax(c.genetic(k, k) / t[i], 0.0), 1.0);
  }
  const auto correlation = [](const Eigen::Matrix2d& m) {
    const double product = m(0, 0) * m(1, 1);
    return product > 0.0 ? std::fmin(std::fmax(m(0, 1) / std::sqrt(product), -1.0), 1.0) : 0.0;
  };
  t[4] = correlation(c.genetic);
  t[5] = correlation(c.residual);
  return t;
}

// A free heritability near an end whose optimum moves the value by less than the value's rounding:
// a search that judges its steps by the value stalls there, short of its gradient test, while the
// derivative stays accurate. Bisection on the derivative's sign, in the logarithm of the distance
// to the end (the likelihood varies on the scale of its square root), settles it; nothing where
// no free heritability is near an end or the derivative does not change sign within reach.
struct Settled {
  std::vector<double> x;
  BivariateEvaluation evaluation;
};

std::optional<Settled> settle(Evaluator& evaluate, bool reml, HeritabilityState state, const std::vector<double>& x0,
                              const BivariateEvaluation& at_x0, const BoundVectors& box) {
  const std::vector<std::size_t> free = free_indices(state);
  const double level = 0.25 * converged_below * std::fmax(std::fabs(at_x0.value), 1.0);
  std::optional<Settled> settled;
  std::vector<double> x = x0;
  BivariateEvaluation current = at_x0;
  for (std::size_t i = 0; i < free.size(); ++i) {
    const std::size_t k = free[i];
    if (k != 2 && k != 3) continue;
    const double h = x[i];
    const bool at_one = h > 1.0 - near_face;
    if (!at_one && !(h < near_face)) continue;
    if (!(std::fabs(current.gradient[k]) > level)) continue;
    // The derivative in the distance d to the end, at d.
    std::optional<BivariateEvaluation> last;
    const auto slope = [&](double d) -> std::optional<double> {
      std::vector<double> y = x;
      y[i] = at_one ? 1.0 - d : d;
      last = evaluate(expand(state, y), reml, true, state);
      if (!last) return std::nullopt;
      return at_one ? -last->gradient[k] : last->gradient[k];
    };
    const double nearest = at_one ? 1.0 - box.upper[i] : box.lower[i];
    double d = at_one ? 1.0 - h : h;
    std::optional<double> s = slope(d);
    if (!s || !(d > nearest)) continue;
    // A bracket [lo, hi] with the derivative below 0 at lo and above at hi; none where it keeps
    // its sign out to twice `near_face`, or in to the box's edge (a maximum on the end itself).
    double lo = d, hi = d;
    if (*s < 0.0) {
      while (s && *s < 0.0 && hi < 2.0 * near_face) {
        lo = hi;
        hi = std::fmin(2.0 * hi, 2.0 * near_face);
        s = slope(hi);
      }
      if (!s || *s < 0.0) continue;
    } else if (*s > 0.0) {
      while (s && *s > 0.0 && lo > nearest) {
        hi = lo;
        lo = std::fmax(0.5 * lo, nearest);
        s = slope(lo);
      }
      if (!s || *s > 0.0) continue;
    } else {
      continue;
    }
    std::optional<Settled> best;
    for (std::size_t step = 0; step < 100; ++step) {
      const double mid = std::sqrt(lo * hi);
      if (!(mid > lo && mid < hi)) break;
      const std::optional<double> m = slope(mid);
      if (!m) break;
      std::vector<double> y = x;
      y[i] = at_one ? 1.0 - mid : mid;
      if (!best || std::fabs(last->gradient[k]) < std::fabs(best->evaluation.gradient[k])) best = Settled{y, *last};
      if (std::fabs(*m) < level) break;
      (*m < 0.0 ? lo : hi) = mid;
    }
    // The value may not rise beyond its rounding: the bisection follows the derivative alone.
    if (!best || best->evaluation.value > current.value + 1e-13 * std::fmax(std::fabs(current.value), 1.0)) continue;
    x = best->x;
    current = best->evaluation;
    settled = std::move(best);
  }
  return settled;
}

}  // namespace

Result<std::optional<OptimisationCandidate>> search(const StandardisedProblem& problem, bool reml,
                                                    HeritabilityState state, const Theta& start) {
  const std::vector<std::size_t> free = free_indices(state);
  const Faces& faces = problem.model.faces();
  BoundVectors box = bounds(state, faces);
  auto created = compat_lbfgsb::Bounds::create(box.lower, box.upper);
  if (!created) return fail("BIVARIATE_STATE_OPTIMISATION_UNRESOLVED");
  std::vector<double> x0 = at(start, free);
  for (std::size_t i = 0; i < x0.size(); ++i) x0[i] = std::fmin(std::fmax(x0[i], box.lower[i]), box.upper[i]);

  struct Point {
    Theta theta;
    std::optional<BivariateEvaluation> evaluation;
  };
  Evaluator evaluate(problem.model, problem.response);
  // A stop asked for is polled at every evaluation; the run then meets NaN, which ends it.
  compat_lbfgsb::compat::LastPointMemo memo([&](std::span<const double> x) {
    const Theta theta = expand(state, x);
    if (interrupt::requested()) return Point{theta, std::nullopt};
    return Point{theta, evaluate(theta, reml, true, state)};
  });
  const Point& first = memo(x0);
  if (interrupt::stopping()) return fail(interrupt::code);
  if (!first.evaluation) return std::optional<OptimisationCandidate>();
  auto control = multistart::start_controls(free.size(), first.evaluation->value, 500, 0.0, 1e-8);

  const compat_lbfgsb::compat::Objective objective = [&](std::span<const double> x) {
    const Point& point = memo(x);
    if (interrupt::stopping()) return std::numeric_limits<double>::quiet_NaN();
    return point.evaluation ? point.evaluation->value : penalty(point.theta);
  };
  const compat_lbfgsb::compat::Gradient gradient = [&](std::span<const double> x) {
    const Point& point = memo(x);
    return point.evaluation ? at(point.evaluation->gradient, free) : penalty_gradient(point.theta, free);
  };
  auto run = compat_lbfgsb::compat::run(x0, std::move(*created), objective, gradient, std::move(control));
  if (interrupt::stopping()) return fail(interrupt::code);
  if (!run) return fail("BIVARIATE_STATE_OPTIMISATION_UNRESOLVED");

  std::vector<double> x = run->par;
  Point end = memo(x);
  if (!end.evaluation) return fail("BIVARIATE_STATE_OPTIMISATION_UNRESOLVED");
  double scaled = projected_gradient_norm(end.evaluation->value, x, at(end.evaluation->gradient, free), box.lower,
                                          box.upper);
  if (!(scaled < converged_below)) {
    if (auto settled = settle(evaluate, reml, state, x, *end.evaluation, box)) {
      const double measure = projected_gradient_norm(settled->evaluation.value, settled->x,
                                                     at(settled->evaluation.gradient, free), box.lower, box.upper);
      if (measure < scaled) {
        x = settled->x;
        end = Point{expand(state, x), settled->evaluation};
        scaled = measure;
      }
    }
  }
  const double value = end.evaluation->value;
  bool converged = scaled < converged_below;
  if (state.first == HeritabilityHold::Free) converged = converged && interior(end.theta[2]);
  if (state.second == HeritabilityHold::Free) converged = converged && interior(end.theta[3]);
  const bool rho_e_free = state.first != HeritabilityHold::HeldAtOne && state.second != HeritabilityHold::HeldAtOne;
  const bool near_singular_face = faces.residual_correlation != Face::regular && rho_e_free;
  if (near_singular_face) converged = converged && std::fabs(end.theta[5]) < 1.0 - correlation_edge - 1e-12;
  // Each trait is on the scale of its residual's spread, so a total variance on its floor is a
  // trait the design reproduces, whose likelihood rises without bound as that variance goes to 0.
  converged = converged && end.theta[0] > variance_floor + 1e-12 && end.theta[1] > variance_floor + 1e-12;

  // By ML a run that did not converge and ends on its way to a face where the likelihood rises
  // without bound has no maximum to fall short of: it gives no candidate. Every other run
  // stays a candidate, so that one that found a higher value is never hidden.
  if (!reml && !converged) {
    const auto toward_one = [&](std::size_t t) {
      const HeritabilityHold hold = t == 0 ? state.first : state.second;
      return hold == HeritabilityHold::Free && end.theta[2 + t] >= 1.0 - interior_margin &&
             faces.heritability_one[t] == Face::unbounded;
    };
    const bool toward_correlation = rho_e_free && faces.residual_correlation == Face::unbounded &&
                                    std::fabs(end.theta[5]) >= 1.0 - heading_to_face;
    if (toward_one(0) || toward_one(1) || toward_correlation) return std::optional<OptimisationCandidate>();
  }

  Theta theta = end.theta;
  theta[0] *= problem.variances[0];
  theta[1] *= problem.variances[1];
  // A fit that cannot report finite numbers has not converged.
  for (const double t : theta) converged = converged && std::isfinite(t);
  converged = converged && std::isfinite(value + problem.constant(reml)) &&
              std::isfinite(phenotypic_correlation(end.theta));
  return std::optional<OptimisationCandidate>(
      OptimisationCandidate{value + problem.constant(reml), value, theta, scaled, state, converged});
}

HeritabilityHold end_near(double h) {
  if (h < near_face) return HeritabilityHold::HeldAtZero;
  if (h > 1.0 - near_face) return HeritabilityHold::HeldAtOne;
  return HeritabilityHold::Free;
}

std::vector<Theta> ray_off(const Theta& theta, std::size_t trait, HeritabilityHold end, double correlation) {
  Theta on_end = theta;
  on_end[2 + trait] = held_value(end);
  const Covariances base = covariances(on_end);
  const auto t = static_cast<Eigen::Index>(trait), o = 1 - t;
  const double size = std::fmax(theta[0], theta[1]);
  std::vector<Theta> ray;
  for (const double d : step_off::quarter_steps(0.25 * size, 4.0 * step_shortest)) {
    Covariances moved = base;
    Eigen::Matrix2d& m = end == HeritabilityHold::HeldAtZero ? moved.genetic : moved.residual;
    m(t, t) += d;
    m(t, o) = m(o, t) = correlation * std::sqrt(d * m(o, o));
    Theta step = theta_of(moved);
    // The other coordinates as theta's where the step leaves them without meaning.
    if (step[4] == 0.0 && end != HeritabilityHold::HeldAtZero) step[4] = theta[4];
    if (step[5] == 0.0 && end != HeritabilityHold::HeldAtOne) step[5] = theta[5];
    ray.push_back(step);
  }
  return ray;
}

std::vector<Theta> joint_ray_off(const Theta& theta, HeritabilityHold end, double correlation) {
  Theta on_end = theta;
  on_end[2] = on_end[3] = held_value(end);
  const Covariances base = covariances(on_end);
  const double cross = correlation * std::sqrt(theta[0] * theta[1]);
  Eigen::Matrix2d unit;
  unit << theta[0], cross, cross, theta[1];
  std::vector<Theta> ray;
  for (const double d : step_off::quarter_steps(0.25, 4.0 * step_shortest)) {
    Covariances moved = base;
    (end == HeritabilityHold::HeldAtZero ? moved.genetic : moved.residual) += d * unit;
    Theta step = theta_of(moved);
    if (end == HeritabilityHold::HeldAtZero) step[5] = theta[5];
    else step[4] = theta[4];
    ray.push_back(step);
  }
  return ray;
}

double correlation_reach(const StandardisedProblem& problem, HeritabilityHold end) {
  const bool edged =
      end == HeritabilityHold::HeldAtOne && problem.model.faces().residual_correlation != Face::regular;
  return edged ? 1.0 - correlation_edge : 1.0;
}

std::vector<StepOff> steps_off(const StandardisedProblem& problem, bool reml, HeritabilityState state,
                               const Theta& theta, double value) {
  // Per trait, the end its heritability is held at, or lies so near that the correlation the
  // end removes has next to no pull on the search.
  std::array<HeritabilityHold, 2> face = {state.first, state.second};
  for (std::size_t t = 0; t < 2; ++t)
    if (face[t] == HeritabilityHold::Free) face[t] = end_near(theta[2 + t]);
  std::vector<StepOff> steps;
  if (face[0] == HeritabilityHold::Free && face[1] == HeritabilityHold::Free) return steps;

  Evaluator evaluate(problem.model, problem.response);
  const double above = step_off::rise_threshold(value, selection_tolerance);
  // Along one ray of steps searched in `freed`, the lowest start below `above`, kept as a step.
  const auto lowest_on = [&](const std::vector<Theta>& ray, HeritabilityState freed) {
    std::vector<Theta> starts;
    for (const Theta& point : ray) starts.push_back(expand(freed, at(point, free_indices(freed))));
    const auto value_at = [&](const Theta& start) -> std::optional<double> {
      const std::optional<BivariateEvaluation> there = evaluate(start, reml, false, freed);
      return there ? std::optional<double>(there->value) : std::nullopt;
    };
    if (const std::optional<Theta> start = step_off::lowest_below(starts, value_at, above))
      steps.push_back(StepOff{freed, *start});
  };

  // One trait off its end, with a correlation of -1, 0 or 1: each may lead to a maximum of its own.
  for (std::size_t t = 0; t < 2; ++t) {
    if (face[t] == HeritabilityHold::Free) continue;
    HeritabilityState freed = state;
    hold_of(freed, t) = HeritabilityHold::Free;
    const double reach = correlation_reach(problem, face[t]);
    for (const double correlation : {-reach, 0.0, reach}) lowest_on(ray_off(theta, t, face[t], correlation), freed);
  }

  // Both traits at the same end: M is 0 there and the steps off are d w w', whose first-order
  // change d w'Sw the single-trait steps miss where S is indefinite only across the traits.
  if (face[0] == face[1]) {
    Theta on_face = theta;
    on_face[2] = on_face[3] = held_value(face[0]);
    const HeritabilityState both{face[0], face[1]};
    if (const std::optional<BivariateEvaluation> here = evaluate(on_face, reml, true, both)) {
      const bool genetic = face[0] == HeritabilityHold::HeldAtZero;
      const Eigen::Vector2d w =
          step_off::smallest(genetic ? here->covariance_gradient.genetic : here->covariance_gradient.residual);
      const Covariances base = covariances(on_face);
      const double size = std::fmax(theta[0], theta[1]);
      std::vector<Theta> ray;
      for (const double d : step_off::quarter_steps(size, step_shortest)) {
        Covariances moved = base;
        (genetic ? moved.genetic : moved.residual) += d * w * w.transpose();
        ray.push_back(theta_of(moved));
      }
      HeritabilityState freed = state;
      freed.first = freed.second = HeritabilityHold::Free;
      lowest_on(ray, freed);
    }
  }
  return steps;
}

namespace {

BivariateFit fit_from(const OptimisationCandidate& chosen, bool reml) {
  const Theta& t = chosen.theta;
  const bool held_zero = chosen.state.first == HeritabilityHold::HeldAtZero ||
                         chosen.state.second == HeritabilityHold::HeldAtZero;
  const bool held_one = chosen.state.first == HeritabilityHold::HeldAtOne ||
                        chosen.state.second == HeritabilityHold::HeldAtOne;
  BivariateFit fit;
  if (!held_zero) fit.genetic_correlation = t[4];
  if (!held_one) fit.residual_correlation = t[5];
  fit.estimator = reml ? "reml" : "ml";
  fit.h2_first = t[2];
  fit.h2_second = t[3];
  fit.variance_first = t[0];
  fit.variance_second = t[1];
  fit.phenotypic_correlation = phenotypic_correlation(t);  // held correlations are 0 in theta
  fit.loglik = -chosen.objective;
  fit.scaled_gradient = chosen.scaled_gradient;
  fit.state = chosen.state;
  fit.converged = chosen.converged;
  return fit;
}

}  // namespace

std::vector<std::size_t> free_indices(HeritabilityState state) {
  std::vector<std::size_t> free = {0, 1};
  if (state.first == HeritabilityHold::Free) free.push_back(2);
  if (state.second == HeritabilityHold::Free) free.push_back(3);
  if (state.first != HeritabilityHold::HeldAtZero && state.second != HeritabilityHold::HeldAtZero) free.push_back(4);
  if (state.first != HeritabilityHold::HeldAtOne && state.second != HeritabilityHold::HeldAtOne) free.push_back(5);
  return free;
}

Theta expand(HeritabilityState state, std::span<const double> free_values) {
  Theta theta = {1.0, 1.0, held_value(state.first), held_value(state.second), 0.0, 0.0};
  const std::vector<std::size_t> free = free_indices(state);
  for (std::size_t i = 0; i < free.size() && i < free_values.size(); ++i) theta[free[i]] = free_values[i];
  return theta;
}

BoundVectors bounds_at(std::span<const std::size_t> indices, const Faces& faces) {
  BoundVectors box{at(lower_table, indices), at(upper_table, indices)};
  if (faces.residual_correlation == Face::regular) return box;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (indices[i] != 5) continue;
    box.lower[i] = -1.0 + correlation_edge;
    box.upper[i] = 1.0 - correlation_edge;
  }
  return box;
}

BoundVectors bounds(HeritabilityState state, const Faces& faces) { return bounds_at(free_indices(state), faces); }

double projected_gradient_norm(double f, std::span<const double> x, std::span<const double> g,
                               std::span<const double> lower, std::span<const double> upper) {
  std::vector<double> weighted(g.size());
  for (std::size_t i = 0; i < g.size(); ++i) weighted[i] = std::fmax(std::fabs(x[i]), 1.0) * g[i];
  const double largest = convergence::largest_contribution(weighted, [&](std::size_t i) {
    if (x[i] <= lower[i] + 1e-12) return convergence::Edge::lower;
    if (x[i] >= upper[i] - 1e-12) return convergence::Edge::upper;
    return convergence::Edge::interior;
  });
  return convergence::scaled_gradient(largest, f);
}

Result<OptimisationCandidate> select_best_candidate(const std::vector<OptimisationCandidate>& converged,
                                                    const std::vector<OptimisationCandidate>& others) {
  if (converged.empty()) return fail("BIVARIATE_NO_START_CONVERGED");
  double best = converged.front().standardised_objective;
  for (const auto& candidate : converged)
    if (total_less(candidate.standardised_objective, best)) best = candidate.standardised_objective;
  const double tolerance = (std::fabs(best) + 1.0) * selection_tolerance;

  const OptimisationCandidate* chosen = nullptr;
  for (const auto& candidate : converged) {
    if (!(candidate.standardised_objective <= best + tolerance)) continue;
    if (chosen == nullptr) {
      chosen = &candidate;
      continue;
    }
    const std::size_t count = free_count(candidate.state), kept = free_count(chosen->state);
    if (count < kept ||
        (count == kept && total_less(candidate.standardised_objective, chosen->standardised_objective)))
      chosen = &candidate;
  }
  if (chosen == nullptr) return fail("BIVARIATE_NO_START_CONVERGED");  // only a NaN best gets here
  for (const auto& other : others)
    if (other.standardised_objective < chosen->standardised_objective - tolerance)
      return fail("BIVARIATE_BETTER_UNRESOLVED_OPTIMUM");
  return *chosen;
}

Result<void> check_response(const BivariateModel& model, const Eigen::Ref<const Eigen::VectorXd>& y) {
  if (static_cast<std::size_t>(y.size()) != model.observed_count()) return fail("BIVARIATE_Y_LENGTH_MISMATCH");
  if (!y.allFinite()) return fail("BIVARIATE_Y_NOT_FINITE");
  return {};
}

namespace {

// A search from `start`, run on once from its end where it stops short of its test: near an end
// of a heritability the search is badly conditioned, and a fresh curvature model finishes what
// the first run's could not.
Result<std::optional<OptimisationCandidate>> search_on(const StandardisedProblem& problem, bool reml,
                                                       const StepOff& start) {
  auto candidate = search(problem, reml, start.state, start.start);
  if (!candidate || !*candidate || (*candidate)->converged) return candidate;
  Theta end = (*candidate)->theta;
  end[0] /= problem.variances[0];
  end[1] /= problem.variances[1];
  auto again = search(problem, reml, start.state, end);
  if (!again) return std::unexpected(again.error());
  if (*again && !total_less((*candidate)->standardised_objective, (**again).standardised_objective)) return again;
  return candidate;
}

}  // namespace

Result<OptimisationCandidate> choose(const StandardisedProblem& problem, bool reml, Candidates& candidates) {
  std::optional<double> looked_at;  // the last point stepped off, which a round must improve on
  for (std::size_t round = 0; round < most_rounds; ++round) {
    auto chosen = select_best_candidate(candidates.converged, candidates.others);
    OptimisationCandidate subject;
    if (chosen) {
      subject = *chosen;
    } else if (chosen.error().code == "BIVARIATE_BETTER_UNRESOLVED_OPTIMUM") {
      const auto lower = [](const auto& a, const auto& b) {
        return total_less(a.standardised_objective, b.standardised_objective);
      };
      subject = *std::min_element(candidates.others.begin(), candidates.others.end(), lower);
    } else {
      return chosen;
    }
    if (looked_at && !(subject.standardised_objective < *looked_at)) return chosen;
    looked_at = subject.standardised_objective;
    Theta standardised = subject.theta;
    standardised[0] /= problem.variances[0];
    standardised[1] /= problem.variances[1];
    std::vector<StepOff> starts =
        steps_off(problem, reml, subject.state, standardised, subject.standardised_objective);
    // An unconverged point that would refuse the fit is also run on from where it stopped.
    if (!chosen) starts.push_back(StepOff{subject.state, standardised});
    if (starts.empty()) return chosen;
    for (const StepOff& start : starts) {
      if (interrupt::requested()) return fail(interrupt::code);
      auto candidate = search_on(problem, reml, start);
      if (!candidate) return std::unexpected(candidate.error());
      if (*candidate) candidates.add(std::move(**candidate));
    }
  }
  return select_best_candidate(candidates.converged, candidates.others);
}

Result<SearchedFit> searched_fit(const BivariateModel& model, const Eigen::Ref<const Eigen::VectorXd>& y, bool reml) {
  if (auto checked = check_response(model, y); !checked) return std::unexpected(checked.error());
  auto problem = model.standardised_problem(y);
  if (!problem) return std::unexpected(problem.error());
  Candidates candidates;
  for (const HeritabilityState state : heritability_states) {
    for (const Theta& start : fit_starts) {
      if (interrupt::requested()) return fail(interrupt::code);
      auto candidate = search(*problem, reml, state, start);
      if (!candidate) return std::unexpected(candidate.error());
      if (!*candidate) continue;
      candidates.add(std::move(**candidate));
    }
  }
  auto chosen = choose(*problem, reml, candidates);
  if (!chosen) return std::unexpected(chosen.error());
  return SearchedFit{fit_from(*chosen, reml), std::move(candidates)};
}

Result<BivariateFit> fit(const BivariateModel& model, const Eigen::Ref<const Eigen::VectorXd>& y, bool reml) {
  auto searched = searched_fit(model, y, reml);
  if (!searched) return std::unexpected(searched.error());
  return std::move(searched->fit);
}

}  // namespace kestrune::bivariate
