// Objective changes that keep chosen searches of a censored or binary model from being evaluated
// or from converging, and the table that runs an operation on a model so changed.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "error.hpp"
#include "numerics/difference_fit.hpp"

namespace objective_changes {

namespace difference_fit = kestrune::difference_fit;

// Which searches a change applies to, told by their box.
using Which = std::function<bool(const difference_fit::Problem&)>;

// Coordinate i held (its bounds equal), at `value` when one is given.
inline Which holding(std::size_t i, std::optional<double> value = std::nullopt) {
  return [i, value](const difference_fit::Problem& p) {
    return p.lower[i] == p.upper[i] && (!value || p.lower[i] == *value);
  };
}

inline Which free_at(std::size_t i) {
  return [i](const difference_fit::Problem& p) { return p.lower[i] != p.upper[i]; };
}

// Nowhere evaluable: every start of such a search fails.
inline difference_fit::ObjectiveChange unevaluable(Which which) {
  return [which](const difference_fit::Problem& p, difference_fit::Objective f) -> difference_fit::Objective {
    if (!which(p)) return f;
    return [](std::span<const double>) { return difference_fit::unevaluable; };
  };
}

// A ripple in the last coordinate (a fixed effect) far finer than the difference gradient's
// step: the search ends at finite values, but its gradient never settles.
inline difference_fit::ObjectiveChange rough(Which which) {
  return [which](const difference_fit::Problem& p, difference_fit::Objective f) -> difference_fit::Objective {
    if (!which(p)) return f;
    return [f = std::move(f)](std::span<const double> x) { return f(x) + 1e-3 * std::sin(1e7 * x.back()); };
  };
}

// ---- a table of operations run on a changed model -----------------------------------------

enum class Operation { fit, test, interval };

struct SearchCase {
  std::string name;
  std::optional<difference_fit::ObjectiveChange> change;  // none: the model as built
  Operation operation;
  std::string code;  // "" for a success, "not converged" for a fit returned unconverged
};

// The code of a failed result, "" for a success.
template <class T>
std::string code_of(const kestrune::Result<T>& result) {
  return result ? "" : std::string(result.error().code);
}

// A fit's outcome in the table's terms.
template <class T>
std::string fit_outcome(const kestrune::Result<T>& fit) {
  return fit && !fit->converged ? "not converged" : code_of(fit);
}

// An operation of a one-trait model with a heritability: its free fit, its test of h2 = 0, its
// interval of h2.
template <class Model>
std::string heritability_outcome(const Model& model, Operation operation) {
  switch (operation) {
    case Operation::fit: return fit_outcome(model.fit_holding(std::nullopt));
    case Operation::test: return code_of(model.heritability_test());
    case Operation::interval: return code_of(model.heritability_interval());
  }
  return "";
}

}  // namespace objective_changes
