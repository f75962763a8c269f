// The seam between the runner and the engine: the problem the engine calls
// back, the controls it is lent, and the one backend operation.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "compat_lbfgsb/error.hpp"
#include "compat_lbfgsb/result.hpp"

namespace compat_lbfgsb::backend {

// Controls the runner builds from an OptimControl; the engine only reads them.
struct RunControls {
  std::size_t maxit = 100;
  double factr = 1e7;
  double pgtol = 0.0;
  std::size_t lmm = 5;
  std::size_t trace = 0;
  std::size_t report = 10;
  bool has_gradient = false;
};

// The internal value and a new internal gradient at one point.
struct ValueAndGradient {
  double value;
  std::vector<double> gradient;
};

// The problem as the engine sees it. Non-const: the caller's functions may
// keep state. A run uses its problem exclusively.
class BackendProblem {
 public:
  virtual ~BackendProblem() = default;
  virtual std::expected<ValueAndGradient, OptimError> value_and_gradient(std::span<const double> x) = 0;
};

// The two per-run flags, always equal: More-Thuente search and the
// Cauchy-point/subspace direction, or backtracking and the projected
// L-BFGS direction.
struct BackendModes {
  bool more_thuente = false;
  bool subspace = false;

  // Both flags = n >= 2 and (every bound finite, or has_gradient); NaN is not finite.
  static BackendModes for_problem(const RunControls& controls, std::size_t n, std::span<const double> lower,
                                  std::span<const double> upper);
};

// x0, lower and upper are in internal scale and already validated.
class LbfgsbBackend {
 public:
  virtual ~LbfgsbBackend() = default;
  virtual std::expected<result::OptimResult, OptimError> minimize(BackendProblem& problem,
                                                                  std::span<const double> x0,
                                                                  std::span<const double> lower,
                                                                  std::span<const double> upper,
                                                                  const RunControls& controls) const = 0;
};

namespace native {

// The engine. It has no fields: one instance serves any number of runs.
class NativeBackend final : public LbfgsbBackend {
 public:
  std::expected<result::OptimResult, OptimError> minimize(BackendProblem& problem, std::span<const double> x0,
                                                          std::span<const double> lower,
                                                          std::span<const double> upper,
                                                          const RunControls& controls) const override;

  static std::expected<result::OptimResult, OptimError> minimize_with_modes(
      BackendProblem& problem, std::span<const double> x0, std::span<const double> lower,
      std::span<const double> upper, const RunControls& controls, BackendModes modes);
};

}  // namespace native
}  // namespace compat_lbfgsb::backend

namespace compat_lbfgsb {
using backend::BackendModes;
using backend::BackendProblem;
using backend::LbfgsbBackend;
using backend::RunControls;
using backend::ValueAndGradient;
using backend::native::NativeBackend;
}  // namespace compat_lbfgsb
