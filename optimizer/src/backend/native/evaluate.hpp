// Counted evaluation of the problem and the builders of a run's results.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "compat_lbfgsb/backend.hpp"
#include "compat_lbfgsb/error.hpp"
#include "compat_lbfgsb/result.hpp"

namespace compat_lbfgsb::backend::native {

// A run's (function count, gradient count). Every successful evaluation of
// the problem raises both by one; a failed one raises neither.
using EvaluationCounts = std::pair<std::size_t, std::size_t>;

// value_and_gradient at x, counting a success; an error passes unchanged.
std::expected<ValueAndGradient, OptimError> evaluate(BackendProblem& problem, std::span<const double> x,
                                                     EvaluationCounts& counts);

// Convergence 0 with a copy of message (one of the two code-0 messages).
result::OptimResult success(std::vector<double> par, double value, std::size_t function_count,
                            std::size_t gradient_count, std::string_view message);

// Convergence 1, "NEW_X".
result::OptimResult iteration_limit(std::vector<double> par, double value, std::size_t function_count,
                                    std::size_t gradient_count);

// NonFiniteValue becomes NonFiniteInitialValue with the same value; every
// other error passes unchanged.
OptimError initial_evaluation_error(OptimError error);

}  // namespace compat_lbfgsb::backend::native
