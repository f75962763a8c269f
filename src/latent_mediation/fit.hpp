// The pieces of the latent mediation fit: its difference stencil, the penalty that stands in
// for an unevaluable point, the scaled gradient that judges an end point, and the rule that
// refuses a fit another start beat.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "latent_mediation/model.hpp"

namespace kestrune::latent_mediation {

// The objective at a point, or nothing where it cannot be evaluated.
using FitObjective = std::function<std::optional<double>(std::span<const double>)>;

// One-signed-or-central differences of `objective` at x, whose value there is f0: central
// where x +- h stay inside the bounds, second-order backward against an upper bound, forward
// against a lower one; h = step max(|x_i|, 1), halved up to eight times when a difference
// cannot be formed. A held coordinate (lower = upper) has gradient 0. Nothing when some
// coordinate has no usable difference.
std::optional<std::vector<double>> stencil_gradient(const FitObjective& objective, std::span<const double> x,
                                                    double f0, std::span<const double> lower,
                                                    std::span<const double> upper, double step);

// The stencil after a run, refusing with "LATENT_MEDIATION_GRADIENT_STENCIL_UNRESOLVED".
Result<std::vector<double>> bound_aware_gradient(double step, std::span<const double> x,
                                                 std::span<const double> lower, std::span<const double> upper,
                                                 const FitObjective& objective);

// What one run minimises where the objective fails: a value far above the start's, rising
// smoothly away from it, so the optimiser retreats.
struct InwardPenalty {
  std::vector<double> centre;
  double base;
  double weight;  // max(|base|, 1) * 1e6

  std::pair<double, std::vector<double>> value_and_gradient(std::span<const double> x) const;
};

// The largest projected gradient component, weighted by max(|x_i|, 1), over max(|f|, 1).
double scaled_gradient(std::span<const double> x, double f, std::span<const double> g,
                       std::span<const double> lower, std::span<const double> upper);

// x_i on a finite lower bound, within max(|lower|, |x|, 1) 1e-12.
bool on_lower_bound(double x, double lower);

// A start that failed the gradient test beat the winner by more than rounding.
bool better_optimum_unresolved(double best_objective, std::optional<double> best_rejected);

// A held fit is a point of the free model, so it cannot lie above the free maximum. When it
// does by more than the fit's own tolerance, the free fit missed its maximum: it is run again
// from the held fit's end point and the better of the two kept; still beaten, the free fit is
// refused with "LATENT_MEDIATION_BETTER_UNRESOLVED_OPTIMUM".
using FreeRefit = std::function<Result<LatentMediationFit>(const std::vector<double>& start)>;
Result<LatentMediationFit> free_fit_above(LatentMediationFit full, const LatentMediationFit& held,
                                          const FreeRefit& refit_from);

// The bootstrap's p-value from R replicates, each giving its statistic or nothing when
// abandoned: (E + 1)/(U + 1) over the U usable ones, E of them at or above `observed`;
// "LATENT_MEDIATION_BOOTSTRAP_TOO_FEW_USABLE" when fewer than half were usable.
struct BootstrapOutcome {
  double p_value;
  std::size_t usable;
};
Result<BootstrapOutcome> bootstrap_p_value(std::size_t replicates, double observed,
                                           const std::function<std::optional<double>()>& replicate);

}  // namespace kestrune::latent_mediation
