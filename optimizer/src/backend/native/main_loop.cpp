#include "backend/native/main_loop.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "backend/native/compact/state.hpp"
#include "backend/native/direction.hpp"
#include "backend/native/evaluate.hpp"
#include "backend/native/history.hpp"
#include "backend/native/kernels.hpp"
#include "backend/native/line_search.hpp"
#include "backend/native/products.hpp"
#include "backend/native/trace.hpp"

namespace compat_lbfgsb::backend {
namespace {

bool all_finite(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double b) { return std::isfinite(b); });
}

}  // namespace

BackendModes BackendModes::for_problem(const RunControls& controls, std::size_t n,
                                       std::span<const double> lower,
                                       std::span<const double> upper) {
  const bool on = n >= 2 && ((all_finite(lower) && all_finite(upper)) || controls.has_gradient);
  return BackendModes{on, on};
}

namespace native {

EffectiveRunControls effective_run_controls(const RunControls& controls) {
  EffectiveRunControls effective;
  if (controls.factr > 0.0) effective.ftol = controls.factr * EPSMCH;
  effective.lmm = controls.lmm;
  effective.maxit = controls.maxit;
  return effective;
}

double projected_gradient_norm(std::span<const double> x, std::span<const double> g,
                               std::span<const double> lower, std::span<const double> upper) {
  double largest = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    double p = g[i];
    if (g[i] < 0.0 && std::isfinite(upper[i])) {
      p = std::fmax(g[i], x[i] - upper[i]);
    } else if (g[i] > 0.0 && std::isfinite(lower[i])) {
      p = std::fmin(g[i], x[i] - lower[i]);
    }
    largest = std::fmax(largest, std::fabs(p));
  }
  return largest;
}

namespace {

using Outcome = std::expected<result::OptimResult, OptimError>;

// What a run fixes once, after its first evaluation.
struct RunSetup {
  std::size_t n = 0;
  BackendModes modes;
  bool infinite_bound = false;
  bool finite_bound = false;
  bool compact = false;  // the exact compact path, and compact-order dot products
  double eps = 0.0;
  double zero_tolerance = 0.0;
  double interpolation_factor = 0.0;
  EffectiveRunControls effective;
};

RunSetup make_setup(std::size_t n, std::span<const double> lower, std::span<const double> upper,
                    const RunControls& controls, BackendModes modes) {
  RunSetup s;
  s.n = n;
  s.modes = modes;
  const auto any_bound = [&](auto test) {
    return std::any_of(lower.begin(), lower.end(), test) ||
           std::any_of(upper.begin(), upper.end(), test);
  };
  s.infinite_bound = any_bound([](double b) { return std::isinf(b); });
  s.finite_bound = any_bound([](double b) { return std::isfinite(b); });
  const std::size_t common = std::min(lower.size(), upper.size());
  s.compact = modes.more_thuente && modes.subspace && n > 1 &&
              all_finite(lower.first(common)) && all_finite(upper.first(common));
  s.eps = modes.more_thuente ? 1e-16 : 1e-14;
  s.zero_tolerance = controls.has_gradient ? 1e-12 : 1e-8;
  if (n < 2 || controls.has_gradient) {
    s.interpolation_factor = 0.999;
  } else {
    s.interpolation_factor = (controls.maxit == 0 || controls.pgtol > 0.0) ? 1.0 : 0.999;
  }
  s.effective = effective_run_controls(controls);
  return s;
}

// The first trial step and the largest step the bounds allow along d.
struct StepBounds {
  double alpha0;
  double max_alpha;
};

StepBounds step_bounds(std::span<const double> x, std::span<const double> d,
                       std::span<const double> lower, std::span<const double> upper,
                       bool cap_at_one, bool unbounded_without_history) {
  double raw = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (d[i] > 0.0 && std::isfinite(upper[i])) {
      raw = std::fmin(raw, (upper[i] - x[i]) / d[i]);
    } else if (d[i] < 0.0 && std::isfinite(lower[i])) {
      raw = std::fmin(raw, (lower[i] - x[i]) / d[i]);
    }
  }
  double max_alpha = std::isinf(raw) ? 1.0 : std::fmax(raw, 0.0);
  if (cap_at_one) max_alpha = std::fmin(max_alpha, 1.0);
  double alpha0 = std::fmin(max_alpha, 1.0);
  if (unbounded_without_history) alpha0 = std::fmin(alpha0, 1.0 / std::fmax(norm_inf(d), 1.0));
  return {alpha0, max_alpha};
}

// One run: the loop's state and its steps.
class Run {
 public:
  Run(BackendProblem& problem, std::span<const double> lower, std::span<const double> upper,
      const RunControls& controls, const RunSetup& setup, std::vector<double> x,
      ValueAndGradient first)
      : problem_(problem),
        lower_(lower),
        upper_(upper),
        controls_(controls),
        setup_(setup),
        x_(std::move(x)),
        f_(first.value),
        g_(std::move(first.gradient)) {
    if (setup_.compact) exact_.emplace(setup_.n, setup_.effective.lmm, lower_, upper_);
  }

  Outcome execute();

 private:
  bool gradient_stop(double pg);
  Outcome pgtol_stop();
  DirectionChoice choose_direction(double pg);
  LineSearchOutcome line_search(const DirectionChoice& choice, bool refreshed);
  void remember(const AcceptedStep& step, std::span<const double> d, double gd);
  std::size_t history_size() const { return exact_ ? exact_->col : history_.size(); }
  void forget() {
    history_.clear();
    if (exact_) exact_->clear_history();
  }
  // A direction is used only when it strictly descends (a NaN slope does not)
  // and is longer than eps.
  bool descends(std::span<const double> d, double gd) const {
    return gd < 0.0 && norm_inf(d) > setup_.eps;
  }
  double dot(std::span<const double> a, std::span<const double> b) const {
    return compatibility_dot(setup_.compact, a, b);
  }

  BackendProblem& problem_;
  std::span<const double> lower_;
  std::span<const double> upper_;
  const RunControls& controls_;
  const RunSetup& setup_;
  std::vector<double> x_;
  double f_;
  std::vector<double> g_;
  EvaluationCounts counts_{1, 1};
  CorrectionHistory history_;
  std::optional<compact::ExactCompactState> exact_;
  std::size_t iteration_ = 1;
  bool zero_gradient_pass_ = false;
};

// The projected-gradient test, with pgtol = 0 snapping a tiny norm to zero
// and, for runs with a user gradient and an infinite bound, letting the first
// zero pass once.
bool Run::gradient_stop(double pg) {
  const double pgtol = controls_.pgtol;
  double pg_eff = pg;
  if (pgtol == 0.0 && setup_.infinite_bound && (setup_.finite_bound || controls_.has_gradient) &&
      pg <= setup_.zero_tolerance) {
    pg_eff = 0.0;
  }
  if (pg_eff > pgtol) return false;
  if (pgtol == 0.0 && setup_.n >= 2 && setup_.infinite_bound && controls_.has_gradient &&
      !zero_gradient_pass_) {
    zero_gradient_pass_ = true;
    return false;
  }
  return true;
}

// The head and no-descent stops: after a used zero-gradient pass the value is
// taken afresh at x.
Outcome Run::pgtol_stop() {
  if (controls_.pgtol == 0.0 && setup_.infinite_bound && zero_gradient_pass_ && setup_.n >= 2) {
    auto fresh = evaluate(problem_, x_, counts_);
    if (!fresh) return std::unexpected(std::move(fresh.error()));
    f_ = fresh->value;
  }
  return success(std::move(x_), f_, counts_.first, counts_.second, result::PGTOL_MESSAGE);
}

DirectionChoice Run::choose_direction(double pg) {
  if (!exact_) {
    return direction_with_mode(x_, g_, lower_, upper_, history_,
                               DirectionMode{setup_.eps, setup_.modes.subspace});
  }
  std::optional<DirectionChoice> choice = exact_->direction(x_, g_, lower_, upper_, pg, setup_.eps);
  if (!choice) {
    exact_->clear_history();
    choice = exact_->direction(x_, g_, lower_, upper_, pg, setup_.eps);
  }
  if (!choice) {
    return DirectionChoice{steepest_projected_direction(x_, g_, lower_, upper_), std::nullopt};
  }
  return std::move(*choice);
}

LineSearchOutcome Run::line_search(const DirectionChoice& choice, bool refreshed) {
  const std::span<const double> d = choice.direction;
  const bool cap_at_one = iteration_ == 1 && setup_.finite_bound;
  const bool unbounded_without_history = history_size() == 0 && !setup_.finite_bound;
  const StepBounds bounds = step_bounds(x_, d, lower_, upper_, cap_at_one, unbounded_without_history);

  LineSearchContext context;
  context.x = x_;
  context.f = f_;
  context.g = g_;
  context.d = d;
  context.lower = lower_;
  context.upper = upper_;
  if (choice.full_step_point) context.full_step_point = std::span<const double>(*choice.full_step_point);
  context.compact = setup_.compact;
  context.alpha0 = bounds.alpha0;
  context.max_alpha = bounds.max_alpha;
  context.eps = setup_.eps;
  context.interpolation_factor = setup_.interpolation_factor;
  context.history_size = history_size();
  context.refreshed = refreshed;
  return setup_.modes.more_thuente ? more_thuente_search(context, problem_, counts_)
                                   : backtracking_search(context, problem_, counts_);
}

void Run::remember(const AcceptedStep& step, std::span<const double> d, double gd) {
  std::vector<double> y = difference(step.gradient, g_);
  if (exact_) {
    const double gd_new = compatibility_dot(true, step.gradient, d);
    if (!exact_->update(d, y, step.alpha, gd, gd_new)) exact_->clear_history();
    return;
  }
  update_history(history_, setup_.effective.lmm, difference(step.x, x_), std::move(y), g_);
}

Outcome Run::execute() {
  for (;;) {
    const double pg = projected_gradient_norm(x_, g_, lower_, upper_);
    if (gradient_stop(pg)) return pgtol_stop();

    bool refreshed = false;
    DirectionChoice choice;
    double gd = 0.0;
    std::optional<AcceptedStep> accepted;
    while (!accepted) {
      maybe_trace_cauchy_point(x_, g_, lower_, upper_, history_, controls_);
      choice = choose_direction(pg);
      gd = dot(g_, choice.direction);
      if (!descends(choice.direction, gd)) {
        choice = DirectionChoice{steepest_projected_direction(x_, g_, lower_, upper_), std::nullopt};
        gd = dot(g_, choice.direction);
        if (!descends(choice.direction, gd)) return pgtol_stop();
      }
      LineSearchOutcome outcome = line_search(choice, refreshed);
      if (!outcome) return std::unexpected(std::move(outcome.error()));
      if (*outcome) {
        accepted = std::move(**outcome);
        break;
      }
      if (history_size() == 0 || refreshed) {
        return result::OptimResult{std::move(x_), std::string(result::ABNORMAL_LNSRCH_MESSAGE), f_,
                                   counts_, 52};
      }
      if (controls_.trace >= 2) write_trace("lbfgs_memory_refresh=line_search\n");
      forget();
      refreshed = true;
    }

    const AcceptedStep& step = *accepted;
    const double pg_new = projected_gradient_norm(step.x, step.gradient, lower_, upper_);
    const double rel_red =
        (f_ - step.f) / std::fmax(std::fmax(std::fabs(f_), std::fabs(step.f)), 1.0);
    maybe_trace(iteration_, step, controls_, step.f, rel_red, pg_new);
    remember(step, choice.direction, gd);
    x_ = std::move(accepted->x);
    g_ = std::move(accepted->gradient);
    const double f_new = accepted->f;

    if (iteration_ > setup_.effective.maxit) {
      return iteration_limit(std::move(x_), f_new, counts_.first, counts_.second);
    }
    if (gradient_stop(pg_new)) {
      return success(std::move(x_), f_new, counts_.first, counts_.second, result::PGTOL_MESSAGE);
    }
    if (setup_.effective.ftol && rel_red <= *setup_.effective.ftol) {
      return success(std::move(x_), f_new, counts_.first, counts_.second, result::FACTR_MESSAGE);
    }
    f_ = f_new;
    ++iteration_;
  }
}

}  // namespace

std::expected<result::OptimResult, OptimError> NativeBackend::minimize(
    BackendProblem& problem, std::span<const double> x0, std::span<const double> lower,
    std::span<const double> upper, const RunControls& controls) const {
  const BackendModes modes = BackendModes::for_problem(controls, x0.size(), lower, upper);
  return minimize_with_modes(problem, x0, lower, upper, controls, modes);
}

std::expected<result::OptimResult, OptimError> NativeBackend::minimize_with_modes(
    BackendProblem& problem, std::span<const double> x0, std::span<const double> lower,
    std::span<const double> upper, const RunControls& controls, BackendModes modes) {
  std::vector<double> x = project(x0, lower, upper);
  auto first = problem.value_and_gradient(x);
  if (!first) return std::unexpected(initial_evaluation_error(std::move(first.error())));
  const RunSetup setup = make_setup(x.size(), lower, upper, controls, modes);
  Run run(problem, lower, upper, controls, setup, std::move(x), std::move(*first));
  return run.execute();
}

}  // namespace native
}  // namespace compat_lbfgsb::backend
