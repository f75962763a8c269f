// Pieces of the components fit that its refits share: the standardised response and the
// box of the standardised coefficients with its convergence measure.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "components/model.hpp"
#include "error.hpp"

namespace kestrune::components {

// y less its least-squares fit on the design, divided by that residual's population standard
// deviation (divisor n; moments::standardising_variance): the likelihood is the same as that of
// y / s, without the cancellation an offset would bring.
struct StandardResponse {
  Eigen::VectorXd y;
  Eigen::VectorXd offset;  // the least-squares coefficients, on the response's scale
  double variance;         // v
  double scale;            // s = sqrt(v)
};

// The response checks of a fit, in order: length, finiteness, a spread beyond rounding.
Result<StandardResponse> standardise(const ComponentModel& model, const Eigen::VectorXd& y);

// Bounds of the search's coordinates, each standardised coefficient times its matrix's size
// (ComponentModel::sizes): 0 to infinity, -1000 below for a signed component, both at
// value / v * size for a pinned one (pinning applied last, so it wins).
struct FitBox {
  std::vector<double> lower, upper;
  std::span<const std::size_t> signed_components;

  // The largest gradient entry that counts at theta: none for a pinned coordinate, the whole
  // entry for a signed one, only a pull away from zero for a coordinate at or below 1e-9.
  double measure(std::span<const double> theta, const Eigen::VectorXd& gradient) const;

  // The start itself when the bounds leave it where it is or the model can be evaluated where
  // they put it. Otherwise, as when a pinned negative coefficient outweighs the rest, that point
  // with every coefficient bounded only by 0 below doubled until the model can be evaluated
  // there (at most 64 times; the start itself if never).
  std::vector<double> lifted(const std::vector<double>& start,
                             const std::function<bool(std::span<const double>)>& admissible) const;
};

// Restarts of a run that stopped short (multistart::restart_while_gaining): how many at most, and
// the smallest coefficient scale, in the search's coordinates, which sum to about 1.
inline constexpr std::size_t most_restarts = 10;
inline constexpr double restart_scale_floor = 1e-3;
// The factr of every run of a fit and of the held-share profile.
inline constexpr double run_factr = 1000.0;

// The fixed starts of a fit, in order: with signed components first one that leaves them at 0 and
// shares the rest equally; then equal shares; then 0.1 / k each with the residual at 0.9;
// then for each structured j, 0.1 / k each with j at 0.6 and the residual at 0.3. A fit with no
// signed and no pinned components adds the best point of a scan over the shares after them.
std::vector<std::vector<double>> fit_starts(std::size_t m, std::span<const std::size_t> signed_components);

Result<FitBox> fit_box(std::span<const double> sizes, double variance, std::span<const std::size_t> signed_components,
                       std::span<const Pin> pinned);

}  // namespace kestrune::components
