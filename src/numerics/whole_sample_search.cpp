#include "numerics/whole_sample_search.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "numerics/convergence.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/multistart.hpp"

namespace kestrune::whole_sample {
namespace {

constexpr double converged_below = 1e-6;
// A variance within this of 0 stands on its bound: on the search's scale a variance is a share
// of the standardised response's, whatever its matrix's units.
constexpr double at_zero = 1e-9;
constexpr std::size_t most_iterations = 300;
constexpr double run_factr = 1000.0;
constexpr double run_pgtol = 1e-8;
constexpr std::size_t most_restarts = 10;
constexpr double restart_floor = 1e-3;

// The engine's value and gradient, both read from one memoised evaluation; a point the model
// cannot evaluate reads as a wall with no slope.
template <class Memo>
std::pair<compat_lbfgsb::compat::Objective, compat_lbfgsb::compat::Gradient> read_through(Memo& memo, std::size_t k) {
  return {[&memo](std::span<const double> x) {
            const auto& e = memo(x);
            return e ? e->value : 1e30;
          },
          [&memo, k](std::span<const double> x) {
            const auto& e = memo(x);
            return e ? e->gradient : std::vector<double>(k, 0.0);
          }};
}

// One run's end, judged.
struct End {
  std::vector<double> x;
  double value;
  double scaled_gradient;
  bool converged;
  bool runaway;  // under ML, heading for the face where the likelihood has no bound
};

class Searcher {
 public:
  explicit Searcher(const SearchProblem& problem) : p_(problem), residual_(problem.variances - 1) {}

  std::optional<SearchEnd> run();

 private:
  bool ml() const { return static_cast<bool>(p_.singular_without_residual); }
  double tie(double value) const { return multistart::rounding_tie(value, run_factr); }

  // The residual's face is no bound under ML where V less the residual is singular: the
  // likelihood rises without bound toward it.
  bool open_face(std::span<const double> x) const;
  End judge(std::vector<double> x, const Point& at) const;
  // A run from `start` (lifted where it cannot be evaluated) within the box, or with coordinate
  // `pinned` held where the start has it; its end judged in the whole box.
  std::optional<End> attempt(const std::vector<double>& start, std::span<const double> parscale = {},
                             std::optional<std::size_t> pinned = std::nullopt) const;
  // Adopts `candidate` when it is a maximum candidate lower than `best` beyond rounding.
  bool adopt(std::optional<End> candidate, End& best) const;
  void settle(std::optional<End>& best) const;
  bool probe_kernel_face(End& best) const;
  bool probe_shape_bounds(End& best) const;
  bool polish(End& best) const;
  void snap_to_zero(End& best) const;

  const SearchProblem& p_;
  std::size_t residual_;
};

bool Searcher::open_face(std::span<const double> x) const {
  return ml() && x[residual_] <= at_zero && p_.singular_without_residual(x);
}

End Searcher::judge(std::vector<double> x, const Point& at) const {
  const std::span<const double> g(at.gradient);
  const bool open = open_face(x);
  const double scaled = convergence::scaled_gradient(measure(p_, x, g, open), at.value);
  const bool converged = scaled < converged_below;
  const bool runaway = ml() && !converged && g[residual_] > 0.0 &&
                       (open || (x[residual_] > at_zero && p_.singular_without_residual(x)));
  return End{std::move(x), at.value, scaled, converged, runaway};
}

std::optional<End> Searcher::attempt(const std::vector<double>& start, std::span<const double> parscale,
                                     std::optional<std::size_t> pinned) const {
  const std::size_t k = p_.lower.size();
  std::vector<double> lower = p_.lower, upper = p_.upper;
  if (pinned) lower[*pinned] = upper[*pinned] = start[*pinned];
  auto bounds = compat_lbfgsb::Bounds::create(std::move(lower), std::move(upper));
  if (!bounds) return std::nullopt;
  // A memo of its own: value and gradient at one point cost one evaluation.
  compat_lbfgsb::compat::LastPointMemo memo([&](std::span<const double> x) { return p_.evaluate(x, true); });
  const auto [objective, gradient] = read_through(memo, k);
  // A start where V is not positive definite (a given matrix that is not, beside too small a
  // residual) is lifted by doubling its residual: every V is positive definite with enough of it.
  std::vector<double> from = start;
  auto at_start = p_.evaluate(from, false);
  for (int doubling = 0; !at_start && parscale.empty() && doubling < 64 && from[residual_] > 0.0; ++doubling) {
    from[residual_] *= 2.0;
    at_start = p_.evaluate(from, false);
  }
  if (!at_start) from = start;
  auto control = multistart::start_controls(k, at_start ? std::optional(at_start->value) : std::nullopt,
                                            most_iterations, run_factr, run_pgtol);
  if (!parscale.empty()) {
    // Started again where a run stopped short of flat: on that point's own scale, and on to the
    // gradient's stop rather than the value's.
    control.parscale.assign(parscale.begin(), parscale.end());
    control.factr = 0.0;
  }
  auto run = compat_lbfgsb::compat::run(from, std::move(*bounds), objective, gradient, std::move(control));
  if (!run) return std::nullopt;
  const auto& end = memo(run->par);
  if (!end || !std::isfinite(end->value)) return std::nullopt;
  return judge(std::move(run->par), *end);
}

bool Searcher::adopt(std::optional<End> candidate, End& best) const {
  if (!candidate || candidate->runaway || !(candidate->value < best.value - tie(best.value))) return false;
  best = std::move(*candidate);
  return true;
}

// A run can stop on a line search whose first trial lands where V is singular (a wall of 1e30);
// on the stopped point's own scale the next step stays inside.
void Searcher::settle(std::optional<End>& best) const {
  multistart::restart_while_gaining(
      best, [](const End& e) { return e.x; },
      [&](const std::vector<double>& x, const std::vector<double>& scale) -> std::optional<End> {
        auto next = attempt(x, scale);
        if (next && next->runaway) return std::nullopt;
        return next;
      },
      [](const End& e) { return e.converged; }, most_restarts, restart_floor, run_factr, p_.people);
}

// With the kernel's coefficient at 0 its shape leaves the value alone, so every shape is a step
// off the end: the end is a maximum only when the coefficient rises at none of them.
bool Searcher::probe_kernel_face(End& best) const {
  const std::size_t kernel = p_.variances - 2;
  if (p_.kernel_shapes.empty() || best.x[kernel] > at_zero) return false;
  double steepest = -converged_below * std::fmax(std::fabs(best.value), 1.0);
  std::optional<std::vector<double>> from;
  for (const std::vector<double>& shape : p_.kernel_shapes) {
    if (interrupt::requested()) return false;
    std::vector<double> x = best.x;
    for (std::size_t j = 0; j < shape.size(); ++j) x[p_.variances + j] = shape[j];
    const auto at = p_.evaluate(x, true);
    if (!at || !(at->gradient[kernel] < steepest)) continue;
    steepest = at->gradient[kernel];
    from = std::move(x);
  }
  return from && adopt(attempt(*from), best);
}

// Each bound of each shape coordinate that the best end is not on and no start lies on is tried:
// a maximum on a bound, or beside it, can lie beyond a basin every start falls into, along a ridge
// the other coordinates must follow. The rest is fitted with the coordinate held at the bound; the
// point there is a maximum only when no admissible step off it rises, and where one does and the
// point is already above the best end, the search goes on from it.
bool Searcher::probe_shape_bounds(End& best) const {
  const std::size_t k = p_.lower.size();
  if (k == p_.variances || best.x[p_.variances - 2] <= at_zero) return false;
  bool gained = false;
  const std::vector<double> from = best.x;
  for (std::size_t j = p_.variances; j < k && !interrupt::requested(); ++j) {
    for (const double bound : {p_.lower[j], p_.upper[j]}) {
      const auto on = [&](double x) { return x == bound || convergence::on_bound(x, bound); };
      if (p_.lower[j] == p_.upper[j] || on(from[j]) ||
          std::ranges::any_of(p_.starts, [&](const std::vector<double>& s) { return on(s[j]); }))
        continue;
      std::vector<double> start = from;
      start[j] = bound;
      auto held = attempt(start, {}, j);
      if (held && !held->converged && !held->runaway && held->value < best.value) held = attempt(held->x);
      gained = adopt(std::move(held), best) || gained;
    }
  }
  return gained;
}

bool Searcher::polish(End& best) const {
  compat_lbfgsb::compat::LastPointMemo memo([&](std::span<const double> x) { return p_.evaluate(x, true); });
  const std::size_t k = p_.lower.size();
  const auto [objective, gradient] = read_through(memo, k);
  const convergence::Evaluate measured = [&](std::span<const double> x) -> std::optional<convergence::Evaluation> {
    const auto& e = memo(x);
    if (!e) return std::nullopt;
    return convergence::Evaluation{e->value, measure(p_, x, e->gradient, open_face(x))};
  };
  const auto polished =
      convergence::polish(best.x, p_.lower, p_.upper, objective, gradient, measured, best.value, best.scaled_gradient);
  if (!polished) return false;
  const auto& at = memo(polished->par);
  if (!at) return false;
  End judged = judge(polished->par, *at);
  if (judged.runaway) return false;
  best = std::move(judged);
  return true;
}

// A variance that ends within at_zero of 0 but not on it is put on it when the value there is no
// worse beyond rounding: the point is then judged where it stands, its gradient taken on the face
// itself (through V's pseudo-inverse where V is singular there) rather than beside it, where a
// nearly singular V leaves the gradient to rounding.
void Searcher::snap_to_zero(End& best) const {
  std::vector<double> x = best.x;
  bool moved = false;
  for (std::size_t i = 0; i < p_.variances; ++i) {
    if (x[i] > 0.0 && x[i] <= at_zero) {
      x[i] = 0.0;
      moved = true;
    }
  }
  if (!moved) return;
  const auto at = p_.evaluate(x, true);
  if (!at || !(at->value <= best.value + tie(best.value))) return;
  End snapped = judge(std::move(x), *at);
  if (!snapped.runaway && (snapped.converged || !best.converged)) best = std::move(snapped);
}

std::optional<SearchEnd> Searcher::run() {
  // A runaway end is kept only when no start ends at a maximum candidate.
  std::vector<std::optional<End>> runaways(p_.starts.size());
  std::vector<std::size_t> order(p_.starts.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::optional<End> best = multistart::best_of(order, [&](std::size_t i) -> std::optional<End> {
    auto end = attempt(p_.starts[i]);
    if (end && end->runaway) {
      runaways[i] = std::move(end);
      return std::nullopt;
    }
    settle(end);
    return end;
  });
  if (!best) {
    if (interrupt::requested()) return std::nullopt;
    for (std::optional<End>& end : runaways)
      if (end && (!best || end->value < best->value)) best = std::move(end);
    if (!best) return std::nullopt;
    return SearchEnd{std::move(best->x), best->value, best->scaled_gradient, false, false};
  }
  // A best end short of flat is polished, then started again on its own scale.
  bool polished = false;
  const auto flatten = [&] {
    if (!best->converged && !interrupt::requested()) polished = polish(*best) || polished;
    settle(best);
  };
  flatten();
  if (probe_kernel_face(*best) | probe_shape_bounds(*best)) flatten();
  snap_to_zero(*best);
  return SearchEnd{std::move(best->x), best->value, best->scaled_gradient, best->converged, polished};
}

}  // namespace

double measure(const SearchProblem& problem, std::span<const double> x, std::span<const double> gradient,
               bool residual_open) {
  const std::size_t residual = problem.variances - 1;
  return convergence::largest_contribution(gradient, [&](std::size_t i) {
    const bool shape = i >= problem.variances;
    if (!shape && x[i] <= at_zero && !(residual_open && i == residual)) return convergence::Edge::lower;
    const double lower = problem.lower[i], upper = problem.upper[i];
    // At a zero bound a shape coordinate's size is its box's (0.999 for a rate); a nonzero bound
    // (a decay rate's) is its own.
    const double size = std::isfinite(upper - lower) ? upper - lower : 0.0;
    const auto on = [&](double bound) { return shape && convergence::on_bound(x[i], bound, bound == 0.0 ? size : 0.0); };
    if (x[i] <= lower || on(lower)) return convergence::Edge::lower;
    if (x[i] >= upper || on(upper)) return convergence::Edge::upper;
    return convergence::Edge::interior;
  });
}

std::optional<SearchEnd> search(const SearchProblem& problem) { return Searcher(problem).run(); }

}  // namespace kestrune::whole_sample
