// The two line searches of the engine and their building blocks.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "backend/native/evaluate.hpp"
#include "compat_lbfgsb/backend.hpp"
#include "compat_lbfgsb/error.hpp"

namespace compat_lbfgsb::backend::native {

// The inputs of one search; views into the main loop's vectors, which
// outlive the search.
struct LineSearchContext {
  std::span<const double> x;
  double f = 0.0;
  std::span<const double> g;
  std::span<const double> d;  // g.d < 0 on entry
  std::span<const double> lower;
  std::span<const double> upper;
  std::optional<std::span<const double>> full_step_point;  // the trial at step 1.0 when present
  bool compact = false;  // no clamping, compact-order dot products
  double alpha0 = 1.0;
  double max_alpha = 1.0;
  double eps = 1e-16;                   // smallest move counted as a move
  double interpolation_factor = 0.999;  // backtracking only
  std::size_t history_size = 0;         // backtracking only
  bool refreshed = false;               // More-Thuente only
};

// The outcome of a successful search.
struct AcceptedStep {
  std::vector<double> x;
  std::vector<double> gradient;
  double f;
  std::size_t line_search;  // evaluations made, less one
  double alpha;
  double max_alpha;
  double step_norm;  // norm2 of x - context.x
  double curvature_ratio;
  bool wolfe_curv;
};

// The interval of uncertainty, in the names of Moré and Thuente.
struct MoreThuenteBracket {
  double stx, fx, dx;
  double sty, fy, dy;
  bool brackt;
};

struct MoreThuenteTrial {
  double stp, fp, dp;
};

// The trial point for step t: the full-step point at t == 1.0 when present;
// x + t*d unclamped on the compact path; bounded_step otherwise.
std::vector<double> line_search_candidate(const LineSearchContext& context, double t);

// One safeguarded Moré-Thuente step: updates the bracket and returns the next
// trial step. Requires stpmin <= stpmax, neither NaN.
double more_thuente_step(MoreThuenteBracket& bracket, const MoreThuenteTrial& trial, double stpmin,
                         double stpmax);

// An accepted step; std::nullopt when the search fails; an evaluation error
// unchanged. Each evaluation raises both counts by one.
using LineSearchOutcome = std::expected<std::optional<AcceptedStep>, OptimError>;

LineSearchOutcome more_thuente_search(const LineSearchContext& context, BackendProblem& problem,
                                      EvaluationCounts& counts);

LineSearchOutcome backtracking_search(const LineSearchContext& context, BackendProblem& problem,
                                      EvaluationCounts& counts);

}  // namespace compat_lbfgsb::backend::native
