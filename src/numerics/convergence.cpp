#include "numerics/convergence.hpp"

#include <algorithm>
#include <utility>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/control.hpp"

namespace kestrune::convergence {

// Tight controls for a short run from an optimum already found.
compat_lbfgsb::OptimControl polish_controls(std::size_t n, double start_value) {
  auto control = compat_lbfgsb::OptimControl::default_for_dimension(n);
  control.maxit = 200;
  control.fnscale = std::fmax(std::fabs(start_value), 1.0);  // 1 when the start value is NaN
  control.parscale.assign(n, 1.0);
  control.factr = 0.0;
  control.pgtol = 1e-9;
  control.lmm = std::min<std::size_t>(n, 10);
  return control;
}

std::optional<Polished> polish(std::span<const double> x0, std::span<const double> lower,
                               std::span<const double> upper, const compat_lbfgsb::compat::Objective& objective,
                               const compat_lbfgsb::compat::Gradient& gradient, const Evaluate& evaluate,
                               double reference, double tolerance) {
  auto bounds = compat_lbfgsb::Bounds::create({lower.begin(), lower.end()}, {upper.begin(), upper.end()});
  if (!bounds) return std::nullopt;

  const std::vector<double> start(x0.begin(), x0.end());
  auto control = polish_controls(start.size(), objective(start));
  auto run = compat_lbfgsb::compat::run(start, std::move(*bounds), objective, gradient, std::move(control));
  if (!run) return std::nullopt;

  const auto evaluation = evaluate(run->par);
  if (!evaluation) return std::nullopt;
  const double value = evaluation->value;
  // Ordered comparisons: a NaN reference or tolerance refuses nothing.
  if (value > reference || !std::isfinite(value)) return std::nullopt;
  const double scaled = scaled_gradient(evaluation->measure, value);
  if (scaled >= tolerance) return std::nullopt;

  return Polished{std::move(run->par), std::move(run->message), value, scaled, run->convergence};
}

}  // namespace kestrune::convergence
