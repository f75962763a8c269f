#include "latent_mediation/fit.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/control.hpp"
#include "compat_lbfgsb/run.hpp"
#include "latent_mediation/model.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/multistart.hpp"
#include "numerics/null_refit.hpp"

namespace kestrune::latent_mediation {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double gradient_tolerance = 1e-5;
constexpr std::string_view stencil_unresolved = "LATENT_MEDIATION_GRADIENT_STENCIL_UNRESOLVED";

bool positive_normal(double h) { return std::isnormal(h) && h > 0.0; }

// The difference of coordinate i with step h, or nothing when its points leave the bounds,
// are not finite, or cannot be evaluated.
std::optional<double> difference(const FitObjective& objective, std::vector<double>& point, std::size_t i, double f0,
                                 double lower, double upper, double h) {
  const double x = point[i];
  const auto at = [&](double value) {
    point[i] = value;
    auto f = objective(point);
    point[i] = x;
    return f;
  };
  const double minus = x - h, plus = x + h;
  const bool minus_usable = minus >= lower && std::isfinite(minus);
  std::optional<double> g;
  if (std::isfinite(plus) && plus <= upper && minus_usable) {
    auto f_plus = at(plus), f_minus = at(minus);
    if (f_plus && f_minus) g = (*f_plus - *f_minus) / (2.0 * h);
  } else if (plus > upper || !std::isfinite(plus)) {
    const double minus2 = x - 2.0 * h;
    if (minus_usable && minus2 >= lower && std::isfinite(minus2)) {
      auto f1 = at(minus), f2 = at(minus2);
      if (f1 && f2) g = (3.0 * f0 - 4.0 * *f1 + *f2) / (2.0 * h);
    }
  } else {
    const double plus2 = x + 2.0 * h;
    if (plus2 <= upper && std::isfinite(plus2)) {
      auto f1 = at(plus), f2 = at(plus2);
      if (f1 && f2) g = (4.0 * *f1 - 3.0 * f0 - *f2) / (2.0 * h);
    }
  }
  if (g && !std::isfinite(*g)) return std::nullopt;
  return g;
}

// Inside the box, with the run's minimal shape.
bool usable_point(std::span<const double> x, std::span<const double> lower, std::span<const double> upper) {
  if (x.size() < 5 || lower.size() != x.size() || upper.size() != x.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i)
    if (!std::isfinite(x[i]) || !(x[i] >= lower[i]) || !(x[i] <= upper[i])) return false;
  return true;
}

// The five fixed starts; each has standardised mediator variance 1.
constexpr double fixed_starts[5][5] = {
    {0.7071067811865476, 0.0, 0.0, 0.5, -0.6931471805599453},
    {0.4472135954999579, 0.5, 0.5, 0.5, -0.2231435513142097},
    {0.4472135954999579, -0.5, -0.5, 0.5, -0.2231435513142097},
    {0.8944271909999159, 0.5, -0.5, 0.2, -1.6094379124341003},
    {0.8944271909999159, -0.5, 0.5, 0.2, -1.6094379124341003},
};

std::vector<std::vector<double>> deterministic_starts(std::size_t coefficients) {
  std::vector<std::vector<double>> starts;
  for (const auto& start : fixed_starts) {
    std::vector<double> x(start, start + 5);
    x.resize(5 + coefficients, 0.0);
    starts.push_back(std::move(x));
  }
  return starts;
}

// The mean of (measurement - latent mean)^2 + error variance over every measured mediator,
// and how many there are.
Result<std::pair<double, std::size_t>> mediator_scale(const std::vector<LatentMediationFamily>& families) {
  double sum = 0.0;
  std::size_t count = 0;
  for (const auto& family : families) {
    for (std::size_t m = 0; m < family.measured.size(); ++m) {
      const double residual = family.measurements[m] - family.latent_mean[static_cast<Eigen::Index>(family.measured[m])];
      const double term = residual * residual + family.measurement_error_variances[m];
      if (!std::isfinite(term)) return fail("LATENT_MEDIATION_MEDIATOR_SCALE_UNIDENTIFIED");
      sum += term;
      ++count;
    }
  }
  if (count == 0) return fail("LATENT_MEDIATION_MEDIATOR_SCALE_UNIDENTIFIED");
  const double scale = sum / static_cast<double>(count);
  if (!(scale > 0.0 && std::isfinite(scale))) return fail("LATENT_MEDIATION_MEDIATOR_SCALE_UNIDENTIFIED");
  return std::pair{scale, count};
}

// The objective, its value and gradient at each point the optimiser asks for once.
struct SolverPoint {
  double value;
  std::vector<double> gradient;
};

struct Accepted {
  double value;  // the candidate's objective, for the shared selection loop
  std::vector<double> coordinates;
  LatentMediationEvaluation evaluation;
  double scaled_gradient;
};

}  // namespace

std::optional<std::vector<double>> stencil_gradient(const FitObjective& objective, std::span<const double> x,
                                                    double f0, std::span<const double> lower,
                                                    std::span<const double> upper, double step) {
  std::vector<double> point(x.begin(), x.end());
  std::vector<double> gradient(x.size(), 0.0);
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (lower[i] == upper[i]) continue;
    double h = step * std::fmax(std::fabs(x[i]), 1.0);
    std::optional<double> g;
    for (int attempt = 0; attempt < 9 && !g; ++attempt, h /= 2.0) {
      if (!positive_normal(h) || !std::isfinite(h)) return std::nullopt;
      g = difference(objective, point, i, f0, lower[i], upper[i], h);
    }
    if (!g) return std::nullopt;
    gradient[i] = *g;
  }
  return gradient;
}

Result<std::vector<double>> bound_aware_gradient(double step, std::span<const double> x, std::span<const double> lower,
                                                 std::span<const double> upper, const FitObjective& objective) {
  if (!usable_point(x, lower, upper) || !positive_normal(step) || !std::isfinite(step)) return fail(stencil_unresolved);
  auto f0 = objective(x);
  if (!f0) return fail(stencil_unresolved);
  auto gradient = stencil_gradient(objective, x, *f0, lower, upper, step);
  if (!gradient) return fail(stencil_unresolved);
  return std::move(*gradient);
}

std::pair<double, std::vector<double>> InwardPenalty::value_and_gradient(std::span<const double> x) const {
  const std::size_t m = std::min(centre.size(), x.size());
  double excess = 0.0;
  std::vector<double> gradient(x.size(), 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    const double d = x[i] - centre[i];
    const double root = std::sqrt(d * d + 1.0);
    excess += root - 1.0;
    gradient[i] = weight * d / root;
  }
  return {base + weight * (1.0 + excess), std::move(gradient)};
}

double scaled_gradient(std::span<const double> x, double f, std::span<const double> g, std::span<const double> lower,
                       std::span<const double> upper) {
  double largest = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    double p = g[i];
    if (lower[i] == upper[i]) p = 0.0;
    else if (std::isfinite(lower[i]) && g[i] > 0.0 && on_lower_bound(x[i], lower[i])) p = 0.0;
    else if (std::isfinite(upper[i]) && g[i] < 0.0 &&
             x[i] >= upper[i] - std::fmax(std::fmax(std::fabs(upper[i]), std::fabs(x[i])), 1.0) * 1e-12)
      p = 0.0;
    largest = std::fmax(largest, std::fmax(std::fabs(x[i]), 1.0) * std::fabs(p) / std::fmax(std::fabs(f), 1.0));
  }
  return largest;
}

bool on_lower_bound(double x, double lower) {
  return std::isfinite(lower) && x <= lower + std::fmax(std::fmax(std::fabs(lower), std::fabs(x)), 1.0) * 1e-12;
}

bool better_optimum_unresolved(double best_objective, std::optional<double> best_rejected) {
  return best_rejected && best_objective - *best_rejected > (std::fabs(best_objective) + 1.0) * 1e-10;
}

Result<LatentMediationFit> free_fit_above(LatentMediationFit full, const LatentMediationFit& held,
                                          const FreeRefit& refit_from) {
  // Read as the shared rule reads a fit; a fit that does not converge is an error, not a record.
  struct Maximum {
    double loglik;  // -objective: the same shift for both fits, which share the scale s
    bool converged;
    LatentMediationFit fit;
  };
  const auto maximum = [](LatentMediationFit fit) { return Maximum{-fit.objective, true, std::move(fit)}; };
  const auto refit = [&]() -> Result<Maximum> {
    auto again = refit_from(held.coordinates);
    if (!again) return std::unexpected(again.error());
    return maximum(std::move(*again));
  };
  auto kept = null_refit::full_above_null(maximum(std::move(full)), -held.objective, refit,
                                          "LATENT_MEDIATION_BETTER_UNRESOLVED_OPTIMUM");
  if (!kept) return std::unexpected(kept.error());
  return std::move(kept->fit);
}

Result<BootstrapOutcome> bootstrap_p_value(std::size_t replicates, double observed,
                                           const std::function<std::optional<double>()>& replicate) {
  std::size_t exceed = 0, usable = 0;
  for (std::size_t r = 0; r < replicates; ++r) {
    if (interrupt::requested()) return fail(interrupt::code);
    auto statistic = replicate();
    if (!statistic) continue;
    if (*statistic >= observed) ++exceed;
    ++usable;
  }
  if (replicates > 2 * usable) return fail("LATENT_MEDIATION_BOOTSTRAP_TOO_FEW_USABLE");
  return BootstrapOutcome{static_cast<double>(exceed + 1) / static_cast<double>(usable + 1), usable};
}

Result<LatentMediationFit> LatentMediationModel::fit_holding_at(const std::vector<HeldCoordinate>& held) const {
  return fit_from(held, std::nullopt);
}

Result<LatentMediationFit> LatentMediationModel::fit_from(const std::vector<HeldCoordinate>& held,
                                                          const std::optional<std::vector<double>>& given) const {
  for (const auto& pair : held)
    if (pair.index > 4) return fail("LATENT_MEDIATION_HELD_COORDINATE_INVALID");
  auto scaled = mediator_scale(families_);
  if (!scaled) return std::unexpected(scaled.error());
  const auto [s, measured] = *scaled;
  const std::size_t k = static_cast<std::size_t>(families_.front().design.cols());
  const std::size_t dimension = 5 + k;
  std::vector<double> lower(dimension, -infinity), upper(dimension, infinity);
  lower[0] = lower[3] = 0.0;
  for (const auto& pair : held) {
    if (pair.value < lower[pair.index] || pair.value > upper[pair.index]) return fail("LATENT_MEDIATION_HELD_VALUE_OUT_OF_RANGE");
    lower[pair.index] = upper[pair.index] = pair.value;
  }
  auto bounds = compat_lbfgsb::bounds::Bounds::create(lower, upper);
  if (!bounds) return fail("LATENT_MEDIATION_OPTIMISER_BOUNDS_INVALID");

  // f(x) = -l(x) - (n/2) ln s: the likelihood of the measurements divided by sqrt(s).
  const double shift = static_cast<double>(measured) / 2.0 * std::log(s);
  const auto objective_of = [shift](const LatentMediationEvaluation& evaluation) -> std::optional<double> {
    const double f = -evaluation.log_likelihood - shift;
    if (!std::isfinite(evaluation.log_likelihood) || !std::isfinite(f)) return std::nullopt;
    return f;
  };
  const FitObjective objective = [&](std::span<const double> x) -> std::optional<double> {
    auto evaluation = evaluate_transformed(s, std::vector<double>(x.begin(), x.end()));
    if (!evaluation) return std::nullopt;
    return objective_of(*evaluation);
  };

  std::optional<Error> recorded;
  std::optional<double> best_rejected;
  const auto reject = [&best_rejected](double f) { best_rejected = std::fmin(best_rejected.value_or(f), f); };
  const auto attempt = [&](std::vector<double> start) -> std::optional<Accepted> {
    if (start.size() != dimension) return std::nullopt;
    for (const auto& pair : held) start[pair.index] = pair.value;
    auto f0 = objective(start);
    if (!f0) return std::nullopt;
    const InwardPenalty penalty{start, *f0, std::fmax(std::fabs(*f0), 1.0) * 1e6};
    // The value and gradient of one point share one stencil; the runner asks for both.
    compat_lbfgsb::compat::LastPointMemo memo([&](std::span<const double> x) -> SolverPoint {
      const auto penalised = [&] {
        auto [value, gradient] = penalty.value_and_gradient(x);
        return SolverPoint{value, std::move(gradient)};
      };
      if (!usable_point(x, lower, upper)) return penalised();
      auto f = objective(x);
      if (!f) return penalised();
      auto gradient = stencil_gradient(objective, x, *f, lower, upper, 1e-5);
      if (!gradient) return penalised();
      return SolverPoint{*f, std::move(*gradient)};
    });
    auto control = compat_lbfgsb::control::OptimControl::default_for_dimension(dimension);
    control.maxit = 500;
    control.fnscale = std::fmax(std::fabs(*f0), 1.0);
    control.factr = 1000.0;
    control.pgtol = 1e-6;
    control.lmm = std::min<std::size_t>(dimension, 10);
    auto run = compat_lbfgsb::compat::run(
        start, *bounds, [&memo](std::span<const double> x) { return memo(x).value; },
        compat_lbfgsb::compat::Gradient([&memo](std::span<const double> x) { return memo(x).gradient; }), control);
    if (!run) {
      recorded = Error{"LATENT_MEDIATION_SOLVER_FAILED", std::nullopt};
      return std::nullopt;
    }
    std::vector<double> x = run->par;
    auto evaluation = evaluate_transformed(s, x);
    if (!evaluation) {
      recorded = evaluation.error();
      return std::nullopt;
    }
    auto f = objective_of(*evaluation);
    if (!f) return std::nullopt;
    auto coarse = bound_aware_gradient(1e-5, x, lower, upper, objective);
    auto fine = coarse ? bound_aware_gradient(5e-6, x, lower, upper, objective) : coarse;
    if (!fine) {
      recorded = fine.error();
      reject(*f);
      return std::nullopt;
    }
    for (std::size_t i = 0; i < dimension; ++i) {
      if (std::fabs((*coarse)[i] - (*fine)[i]) > 1e-4 * std::fmax(std::fabs((*fine)[i]), 1.0)) {
        recorded = Error{"LATENT_MEDIATION_GRADIENT_UNSTABLE", std::nullopt};
        reject(*f);
        return std::nullopt;
      }
    }
    bool finite = true;
    for (const double g : *fine) finite = finite && std::isfinite(g);
    const double measure = scaled_gradient(x, *f, *fine, lower, upper);
    if (!finite || !std::isfinite(measure) || measure >= gradient_tolerance) {
      reject(*f);
      return std::nullopt;
    }
    return Accepted{*f, std::move(x), std::move(*evaluation), measure};
  };
  auto best = multistart::best_of(given ? std::vector<std::vector<double>>{*given} : deterministic_starts(k), attempt);
  if (interrupt::stopping()) return fail(interrupt::code);
  if (!best) {
    if (recorded) return std::unexpected(*recorded);
    return fail("LATENT_MEDIATION_NO_START_CONVERGED");
  }
  if (better_optimum_unresolved(best->value, best_rejected)) return fail("LATENT_MEDIATION_BETTER_UNRESOLVED_OPTIMUM");
  auto natural = natural_parameters(s, best->coordinates);
  if (!natural) return std::unexpected(natural.error());

  LatentMediationFit fit;
  fit.coefficients.assign(best->coordinates.begin() + 5, best->coordinates.end());
  fit.coordinates = best->coordinates;
  const bool a_on_bound = on_lower_bound(best->coordinates[0], lower[0]);
  if (a_on_bound) fit.boundary_parameters.push_back("a");
  if (on_lower_bound(best->coordinates[3], lower[3])) fit.boundary_parameters.push_back("d");
  std::tie(fit.a, fit.b, fit.c_prime, fit.d, fit.sigma_m2) =
      std::tuple{(*natural)[0], (*natural)[1], (*natural)[2], (*natural)[3], (*natural)[4]};
  fit.log_likelihood = best->evaluation.log_likelihood;
  fit.objective = best->value;
  fit.evaluation = std::move(best->evaluation);
  fit.scaled_gradient = best->scaled_gradient;
  fit.horizontal_identified = !a_on_bound;
  return fit;
}

}  // namespace kestrune::latent_mediation
