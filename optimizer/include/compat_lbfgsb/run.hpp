// The runner: the one door through which a model minimises its objective
// under box bounds, and the checks it makes before a run.
#pragma once

#include <bit>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/control.hpp"
#include "compat_lbfgsb/error.hpp"
#include "compat_lbfgsb/result.hpp"

namespace compat_lbfgsb::compat {

// The caller's objective and gradient, both on the caller's (user) scale.
// They may keep state between calls; the runner calls them one at a time.
using Objective = std::function<double(std::span<const double>)>;
using Gradient = std::function<std::vector<double>(std::span<const double>)>;

// Bounds::validate, the length of lower against the start, then each start
// entry: NaN, or not finite once clipped into its bounds, is InvalidParameter
// carrying the entry itself. The start is not changed.
std::expected<void, OptimError> validate_initial_parameters(std::span<const double> par,
                                                            const bounds::Bounds& bounds);

// Without a user gradient a fixed parameter (lower == upper) cannot be
// differenced: InvalidBounds at the first such index.
std::expected<void, OptimError> validate_gradient_availability(const bounds::Bounds& bounds, bool has_gradient);

// Validates controls, bounds, start and fixed parameters (the first failure is
// returned unchanged), answers a problem with no parameters itself, and
// otherwise runs the engine on par / parscale and f / fnscale, returning par
// and value on the caller's scale. Without a gradient the engine is given a
// bound-aware difference gradient; an empty function counts as none. An
// iteration limit (code 1) or a failed line search (code 52) is a result, not
// an error.
std::expected<OptimResult, OptimError> run(std::vector<double> par, bounds::Bounds bounds,
                                           const Objective& objective, const std::optional<Gradient>& gradient,
                                           control::OptimControl control);

// Remembers the last point and what `compute` gave there. The engine asks for
// the value and then the gradient at the same point; a model that computes
// both in one pass wraps that pass here and reads each half from the memo:
//
//   LastPointMemo memo([&](std::span<const double> x) { return model.evaluate(x); });
//   auto objective = [&](std::span<const double> x) { return memo(x).value; };
//   auto gradient = [&](std::span<const double> x) { return memo(x).gradient; };
//
// Points match only when every entry has the same bits, so -0.0 and +0.0
// count as different points.
template <class Compute>
class LastPointMemo {
 public:
  using Result = std::remove_cvref_t<std::invoke_result_t<Compute&, std::span<const double>>>;

  explicit LastPointMemo(Compute compute) : compute_(std::move(compute)) {}

  const Result& operator()(std::span<const double> x) {
    if (!result_ || !same_point(x)) {
      result_.reset();  // a compute that throws leaves no stale entry behind
      point_.assign(x.begin(), x.end());
      result_.emplace(compute_(std::span<const double>(point_)));
    }
    return *result_;
  }

 private:
  bool same_point(std::span<const double> x) const {
    if (x.size() != point_.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (std::bit_cast<std::uint64_t>(x[i]) != std::bit_cast<std::uint64_t>(point_[i])) return false;
    }
    return true;
  }

  Compute compute_;
  std::vector<double> point_;
  std::optional<Result> result_;
};

}  // namespace compat_lbfgsb::compat
