#include "backend/native/evaluate.hpp"

#include <string>
#include <type_traits>
#include <variant>

namespace compat_lbfgsb::backend::native {

std::expected<ValueAndGradient, OptimError> evaluate(BackendProblem& problem, std::span<const double> x,
                                                     EvaluationCounts& counts) {
  auto evaluated = problem.value_and_gradient(x);
  if (evaluated) {
    ++counts.first;
    ++counts.second;
  }
  return evaluated;
}

result::OptimResult success(std::vector<double> par, double value, std::size_t function_count,
                            std::size_t gradient_count, std::string_view message) {
  return result::OptimResult{std::move(par), std::string(message), value, {function_count, gradient_count}, 0};
}

result::OptimResult iteration_limit(std::vector<double> par, double value, std::size_t function_count,
                                    std::size_t gradient_count) {
  return result::OptimResult{std::move(par), std::string(result::NEW_X_MESSAGE), value,
                             {function_count, gradient_count}, 1};
}

OptimError initial_evaluation_error(OptimError error) {
  if (const auto* non_finite = std::get_if<error::NonFiniteValue>(&error)) {
    return error::NonFiniteInitialValue{non_finite->value};
  }
  return error;
}

}  // namespace compat_lbfgsb::backend::native
