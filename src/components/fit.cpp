// The fit of the components model: a fixed list of starts on the standardised response and the
// best point of a scan over the components' shares, the best end point, a polish when it is not
// flat enough, and the map back.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/Cholesky>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "components/fit.hpp"
#include "components/model.hpp"
#include "numerics/convergence.hpp"
#include "numerics/eigen.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/matrix_scale.hpp"
#include "numerics/moments.hpp"
#include "numerics/multistart.hpp"
#include "numerics/parallel.hpp"
#include "numerics/threads.hpp"

namespace kestrune::components {
namespace {

constexpr double converged_below = 1e-6;
// A point is converged too where a Newton step on the average information promises less than this
// rise, relative to max(|value|, 1): see promised_rise.
constexpr double rise_below = 1e-9;
constexpr double signed_floor = -1000.0;
constexpr double infinity = std::numeric_limits<double>::infinity();

// The search runs on each standardised coefficient times its matrix's size (ComponentModel::sizes):
// a matrix in other units is then the same search, and a coefficient's gradient is on the scale of
// the variance it adds rather than of its matrix's entries.
std::vector<double> coefficients_of(const ComponentModel& model, std::span<const double> search) {
  return matrix_scale::coefficients(search, model.sizes());
}

// The kept end point of one start, in the search's coordinates.
struct Best {
  std::vector<double> coefficients;
  Eigen::VectorXd beta;
  std::string message;
  double value;
  double scaled_gradient;
  std::int32_t convergence;
  bool converged;
  bool runaway = false;
  std::optional<Evaluation> evaluation;  // at the coefficients, kept from the run that ended there
};

// Under ML, an end whose covariance is singular at rounding, the residual coefficient at
// zero, is where the likelihood rises without bound (a relationship centred on the people
// analysed, under an intercept), not a maximum.
bool runaway_end(const ComponentModel& model, std::span<const double> theta, bool reml) {
  if (reml || theta.empty() || theta.back() > 0.0) return false;
  return std::ranges::any_of(model.families(), [&](const Family& family) {
    return eigen::singular_at_rounding(ComponentModel::assemble(model.matrices(), family.indices, theta));
  });
}

// Under ML, a run that ends unconverged beside the face where the residual is 0 and V without it
// is singular at rounding only along the design's span, where the likelihood rises without bound,
// is on its way to that face rather than to a maximum: a start near the face (the scan's, say)
// stops there, stalled, above every maximum.
bool toward_runaway(const ComponentModel& model, std::span<const double> theta, const Eigen::VectorXd& ys,
                    bool reml, bool converged) {
  if (reml || converged || theta.empty()) return false;
  std::vector<double> structured(theta.begin(), theta.end());
  structured.back() = 0.0;
  return model.null_face(structured, ys).has_value();
}

// How many points the scan over the components' shares evaluates: as many as a fixed amount of
// factorisation work allows (the cube of each family's size, summed, per point), at most 64 on a
// simplex grid and 1024 on a lattice; none where that work cannot buy the simplex grid. Several
// maxima are a small sample's trait (a ridge as narrow as a basis's smallest eigenvalue): the
// budget scans a dense block of ten people in full and leaves large samples, where the scan and
// the run from its best point would add a fifth to every fit, to the fixed starts.
constexpr double scan_work = 1e6;
constexpr std::size_t scan_grid_points = 64;
constexpr std::size_t scan_lattice_points = 1024;

std::size_t scan_points(const ComponentModel& model) {
  double work = 0.0;
  for (const Family& family : model.families()) work += std::pow(static_cast<double>(family.indices.size()), 3.0);
  const double most = static_cast<double>(scan_grid_points + scan_lattice_points);
  const auto allowed = static_cast<std::size_t>(std::fmin(most, std::floor(scan_work / std::fmax(work, 1.0))));
  return allowed < scan_grid_points ? 0 : allowed;
}

// The levels of the scan's lattice within `most` points: 1, then 10^(-j / per) for j = 1 .. 8 per,
// then 0, with the finest per (4, 2, 1 steps a decade) that keeps within `most`; failing those,
// decades to a shallower depth; failing every depth, none.
std::vector<double> lattice_levels(std::size_t k, std::size_t most) {
  const auto levels = [](int per, int decades) {
    std::vector<double> out{1.0};
    for (int j = 1; j <= per * decades; ++j) out.push_back(std::pow(10.0, -static_cast<double>(j) / per));
    out.push_back(0.0);
    return out;
  };
  const auto fits = [&](const std::vector<double>& l) { return multistart::lattice_size(k, l.size(), most) <= most; };
  for (const int per : {4, 2, 1})
    if (auto l = levels(per, 8); fits(l)) return l;
  for (int decades = 7; decades >= 0; --decades)
    if (auto l = levels(1, decades); fits(l)) return l;
  return {};
}

// The best point of a scan of the likelihood over the components' shares, as a start. On a small
// sample the likelihood can have several maxima, on the faces of the box or inside it, and the fixed
// starts, three or four points, can all lie in the basin of a lower one: a share of 0 beside an
// interior maximum, or a maximum beside a face (the residual near 0, say) on a ridge as narrow as a
// basis's smallest eigenvalue, which a search on the linear scale of the coefficients steps over.
// The scan sees the interior on a simplex grid and each face on a lattice of shares falling
// geometrically toward it. Each point, shares of the search's coordinates, is taken at the scale
// that maximises the likelihood for those shares: the value there is the value at the shares plus
// (d ln(y'Py / d) + d - y'Py) / 2, with d = n under ML and n - p under REML. A point where the
// residual is 0 and V comes singular at rounding is passed over: under ML the likelihood has no
// maximum there, and the REML limit there is an eigendecomposition a point, which the runs reach
// when it is the maximum. Nothing when no point can be evaluated.
std::optional<std::vector<double>> scanned_start(const ComponentModel& model, const Eigen::VectorXd& ys, bool reml,
                                                 int threads) {
  const double d = static_cast<double>(model.n()) - (reml ? static_cast<double>(model.p()) : 0.0);
  if (!(d > 0.0)) return std::nullopt;
  const std::size_t budget = scan_points(model);
  if (budget == 0) return std::nullopt;
  std::vector<std::vector<double>> points =
      multistart::simplex_grid(model.k(), std::min(scan_grid_points, budget / 2));
  const std::size_t rest = budget > points.size() ? budget - points.size() : 0;
  for (auto& point : multistart::level_lattice(model.k(), lattice_levels(model.k(), rest)))
    points.push_back(std::move(point));
  std::vector<double> values(points.size(), infinity), scales(points.size(), 1.0);
  const bool finished = parallel::for_each(
      points.size(),
      [&](std::size_t i) {
        const auto at = model.evaluate_with_signs(coefficients_of(model, points[i]), ys, reml, false, {}, false);
        if (!at) return;
        scales[i] = at->quadratic / d;
        values[i] = at->value + 0.5 * (d * std::log(scales[i]) + d - at->quadratic);
      },
      threads);
  if (!finished) return std::nullopt;
  std::size_t best = points.size();
  for (std::size_t i = 0; i < points.size(); ++i)
    if (std::isfinite(values[i]) && (best == points.size() || values[i] < values[best])) best = i;
  if (best == points.size()) return std::nullopt;
  for (double& u : points[best]) u *= scales[best];
  return std::move(points[best]);
}

// The rise that a Newton step on the average information promises from a point of the search,
// g_F' I_FF^-1 g_F / 2 over the coordinates F a step may move (all but the pinned ones and those at
// zero that the gradient pushes out of the box), relative to max(|value|, 1); infinity where the
// information on F is not positive definite or cannot be had. Where the maximum is sharp (a ridge
// as narrow as a basis's smallest eigenvalue), the gradient a run can reach before the changes of
// its steps sink below the value's rounding is far above any fixed bound, and whether a run gets
// under it is a matter of the last bits; the rise left to gain says the same of the point in the
// likelihood's own units, which the curvature does not inflate.
double promised_rise(const ComponentModel& model, const FitBox& box, std::span<const double> search,
                     const Evaluation& at, const Eigen::VectorXd& ys, bool reml) {
  constexpr double none = std::numeric_limits<double>::infinity();
  const auto information =
      model.average_information(coefficients_of(model, search), ys, reml, box.signed_components);
  if (!information) return none;
  std::vector<Eigen::Index> free;
  for (std::size_t i = 0; i < search.size(); ++i) {
    const auto entry = static_cast<Eigen::Index>(i);
    const bool is_signed = std::find(box.signed_components.begin(), box.signed_components.end(), i) !=
                           box.signed_components.end();
    if (box.lower[i] == box.upper[i]) continue;
    if (!is_signed && search[i] <= 1e-9 && at.gradient[entry] >= 0.0) continue;
    free.push_back(entry);
  }
  if (free.empty()) return 0.0;
  const auto f = static_cast<Eigen::Index>(free.size());
  Eigen::MatrixXd h(f, f);
  Eigen::VectorXd g(f);
  const std::vector<double>& sizes = model.sizes();
  for (Eigen::Index a = 0; a < f; ++a) {
    g[a] = at.gradient[free[a]];
    for (Eigen::Index b = 0; b < f; ++b)
      h(a, b) = (*information)(free[a], free[b]) / (sizes[static_cast<std::size_t>(free[a])] *
                                                    sizes[static_cast<std::size_t>(free[b])]);
  }
  const Eigen::LLT<Eigen::MatrixXd> factor(h);
  if (factor.info() != Eigen::Success) return none;
  const double rise = 0.5 * g.dot(factor.solve(g));
  return std::isfinite(rise) && rise >= 0.0 ? rise / std::fmax(std::fabs(at.value), 1.0) : none;
}

// The fit on the response's own scale: coefficients divided by their sizes and times v, fixed effects and their
// standard errors times s and mapped from the orthogonal basis to the design's columns, the
// log-likelihood less the Jacobian of the standardisation.
ComponentFit map_back(const ComponentModel& model, const Best& best, const Evaluation& final_evaluation,
                      const FitBox& box, const StandardResponse& response, bool reml) {
  const design_basis::Basis& basis = model.fixed_design().orthogonal();
  const auto n = static_cast<double>(model.n()), p = static_cast<double>(model.p());
  ComponentFit fit;
  fit.total = 0.0;
  for (const double theta : coefficients_of(model, best.coefficients)) {
    fit.coefficients.push_back(theta * response.variance);
    fit.total += fit.coefficients.back();
  }
  for (const double c : fit.coefficients) fit.proportions.push_back(c / fit.total);
  const Eigen::VectorXd beta = basis.coefficients(best.beta);
  for (Eigen::Index j = 0; j < beta.size(); ++j) fit.beta.push_back(beta[j] * response.scale + response.offset[j]);
  fit.beta_se = moments::rescaled_standard_errors(basis.covariance(final_evaluation.covariance), response.scale);
  fit.message = best.message;
  fit.estimator = reml ? "reml" : "ml";
  const double rows = reml ? n - p : n;
  fit.loglik = -best.value - rows * std::log(response.scale);
  fit.scaled_gradient =
      convergence::scaled_gradient(box.measure(best.coefficients, final_evaluation.gradient), best.value);
  fit.convergence = best.convergence;
  // A fit whose numbers overflowed or underflowed on the way back has not converged.
  const auto finite = [](const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  };
  fit.converged = best.converged && std::isfinite(fit.loglik) && std::isfinite(fit.total) &&
                  finite(fit.coefficients) && finite(fit.proportions) && finite(fit.beta) && finite(fit.beta_se);
  fit.polished = false;
  return fit;
}

}  // namespace

Result<StandardResponse> standardise(const ComponentModel& model, const Eigen::VectorXd& y) {
  if (static_cast<std::size_t>(y.size()) != model.n()) return fail("COMPONENTS_RESPONSE_WRONG_LENGTH");
  for (const double value : y)
    if (!std::isfinite(value)) return fail("COMPONENTS_RESPONSE_NOT_FINITE");
  // One value up to rounding: whatever spread is left is rounding, not a trait.
  if (model.n() == 0) return fail("COMPONENTS_RESPONSE_CONSTANT");
  auto standardised = centring::standardise(y, model.fixed_design().centre(y));
  if (!standardised) return fail("COMPONENTS_RESPONSE_CONSTANT");
  return StandardResponse{std::move(standardised->y), std::move(standardised->offset), standardised->variance,
                          standardised->sd};
}

double FitBox::measure(std::span<const double> theta, const Eigen::VectorXd& gradient) const {
  const std::span<const double> g(gradient.data(), static_cast<std::size_t>(gradient.size()));
  return convergence::largest_contribution(g, [&](std::size_t i) {
    if (lower[i] == upper[i]) return convergence::Edge::fixed;
    if (std::find(signed_components.begin(), signed_components.end(), i) != signed_components.end())
      return convergence::Edge::interior;
    return theta[i] <= 1e-9 ? convergence::Edge::lower : convergence::Edge::interior;
  });
}

std::vector<double> FitBox::lifted(const std::vector<double>& start,
                                   const std::function<bool(std::span<const double>)>& admissible) const {
  std::vector<double> point(start.size());
  for (std::size_t i = 0; i < start.size(); ++i) point[i] = std::clamp(start[i], lower[i], upper[i]);
  if (point == start || admissible(point)) return start;
  for (int doubling = 0; doubling < 64; ++doubling) {
    for (std::size_t i = 0; i < point.size(); ++i)
      if (lower[i] == 0.0 && upper[i] == infinity) point[i] *= 2.0;
    if (admissible(point)) return point;
  }
  return start;
}

std::vector<std::vector<double>> fit_starts(std::size_t m, std::span<const std::size_t> signed_components) {
  const std::size_t k = m + 1;
  const double kd = static_cast<double>(k);
  std::vector<std::vector<double>> starts;
  if (!signed_components.empty()) {
    const double free = kd - static_cast<double>(signed_components.size());
    std::vector<double> start(k, free == 0.0 ? 0.0 : 1.0 / free);
    for (const std::size_t j : signed_components) start[j] = 0.0;
    starts.push_back(std::move(start));
  }
  starts.emplace_back(k, 1.0 / kd);
  std::vector<double> residual_heavy(k, 0.1 / kd);
  residual_heavy[m] = 0.9;
  starts.push_back(std::move(residual_heavy));
  for (std::size_t j = 0; j < m; ++j) {
    std::vector<double> start(k, 0.1 / kd);
    start[j] = 0.6;
    start[m] = 0.3;
    starts.push_back(std::move(start));
  }
  return starts;
}

Result<FitBox> fit_box(std::span<const double> sizes, double variance, std::span<const std::size_t> signed_components,
                       std::span<const Pin> pinned) {
  const std::size_t k = sizes.size();
  FitBox box{std::vector<double>(k, 0.0), std::vector<double>(k, infinity), signed_components};
  for (const std::size_t j : signed_components) {
    if (j >= k) return fail("COMPONENTS_SIGNED_INDEX_OUT_OF_RANGE");
    box.lower[j] = signed_floor;
  }
  for (const Pin& pin : pinned) {
    if (pin.component >= k) return fail("COMPONENTS_PINNED_INDEX_OUT_OF_RANGE");
    box.lower[pin.component] = box.upper[pin.component] = pin.value / variance * sizes[pin.component];
  }
  return box;
}

Result<ComponentFit> ComponentModel::fit_general(const Eigen::VectorXd& y, bool reml,
                                                 std::span<const std::size_t> signed_components,
                                                 std::span<const Pin> pinned) const {
  return fit_with_starts(y, reml, signed_components, pinned, {});
}

Result<ComponentFit> ComponentModel::fit_from(const Eigen::VectorXd& y, bool reml,
                                              std::span<const std::size_t> signed_components,
                                              std::span<const Pin> pinned, std::span<const double> start) const {
  if (start.size() != k()) return fail("COMPONENTS_NO_START_CONVERGED");
  return fit_with_starts(y, reml, signed_components, pinned, start);
}

Result<ComponentFit> ComponentModel::fit_with_starts(const Eigen::VectorXd& y, bool reml,
                                                     std::span<const std::size_t> signed_components,
                                                     std::span<const Pin> pinned,
                                                     std::span<const double> start) const {
  auto response = standardise(*this, y);
  if (!response) return std::unexpected(response.error());
  auto box = fit_box(sizes_, response->variance, signed_components, pinned);
  if (!box) return std::unexpected(box.error());
  const Eigen::VectorXd& ys = response->y;

  // The engine asks for the value and then the gradient at one point: one evaluation serves both.
  const auto evaluate = [&](std::span<const double> search) {
    auto evaluation = evaluate_with_signs(coefficients_of(*this, search), ys, reml, true, signed_components);
    if (evaluation) evaluation->gradient.array() /= Eigen::Map<const Eigen::ArrayXd>(sizes_.data(), evaluation->gradient.size());
    return evaluation;
  };
  using Memo = compat_lbfgsb::compat::LastPointMemo<decltype(evaluate)>;
  const auto objective_of = [](Memo& memo) -> compat_lbfgsb::compat::Objective {
    return [&memo](std::span<const double> theta) {
      const auto& evaluation = memo(theta);
      return evaluation ? evaluation->value : 1e30;
    };
  };
  const auto gradient_of = [](Memo& memo) -> compat_lbfgsb::compat::Gradient {
    return [&memo](std::span<const double> theta) {
      const auto& evaluation = memo(theta);
      if (!evaluation) return std::vector<double>(theta.size(), 0.0);
      return std::vector<double>(evaluation->gradient.begin(), evaluation->gradient.end());
    };
  };
  Memo memo(evaluate);
  const compat_lbfgsb::compat::Objective objective = objective_of(memo);
  const compat_lbfgsb::compat::Gradient gradient = gradient_of(memo);

  const auto admissible = [&](std::span<const double> search) {
    return evaluate_with_signs(coefficients_of(*this, search), ys, reml, false, signed_components).has_value();
  };
  // A point is converged where its measure is below 1e-6, or where a Newton step promises no more.
  const auto flat = [&](std::span<const double> par, const Evaluation& at, double scaled) {
    return scaled < converged_below || promised_rise(*this, *box, par, at, ys, reml) < rise_below;
  };
  // An empty parscale is the unit scale of the starts; a given one is a restart's.
  const auto attempt = [&](const std::vector<double>& given,
                           std::span<const double> parscale = {}) -> std::optional<Best> {
    auto bounds = compat_lbfgsb::Bounds::create(box->lower, box->upper);
    if (!bounds) return std::nullopt;
    const std::vector<double> start = box->lifted(given, admissible);
    // A memo of its own, so that starts may run side by side. The start's value comes with
    // the gradient that the run's first step asks for there.
    Memo own(evaluate);
    const auto& at_start = own(start);
    auto control = multistart::start_controls(k(), at_start ? std::optional(at_start->value) : std::nullopt,
                                              500, run_factr, 1e-9);
    const bool restart = !parscale.empty();
    if (restart) {
      // The value's stop has already ended short of a flat point: run on to the gradient's.
      control.parscale.assign(parscale.begin(), parscale.end());
      control.factr = 0.0;
    }
    const auto scaled_at = [&](std::span<const double> theta, const Evaluation& e) {
      return convergence::scaled_gradient(box->measure(theta, e.gradient), e.value);
    };
    // A restart keeps every point it evaluates, to fall back on the flattest when its end is not flat.
    multistart::Evaluated evaluated;
    compat_lbfgsb::compat::Objective value = objective_of(own);
    if (restart)
      value = [&](std::span<const double> theta) {
        const auto& evaluation = own(theta);
        if (!evaluation) return 1e30;
        evaluated.add(theta, evaluation->value, scaled_at(theta, *evaluation));
        return evaluation->value;
      };
    auto run = compat_lbfgsb::compat::run(start, std::move(*bounds), value, gradient_of(own), std::move(control));
    if (!run) return std::nullopt;
    std::vector<double> par = std::move(run->par);
    if (const auto& end = own(par); restart && end && !(scaled_at(par, *end) < converged_below))
      if (auto flattest = evaluated.flattest(run_factr)) par = std::move(*flattest);
    const auto& end = own(par);
    if (!end || !std::isfinite(end->value)) return std::nullopt;
    const double scaled = scaled_at(par, *end);
    const bool runaway = runaway_end(*this, coefficients_of(*this, par), reml);
    const bool converged = !runaway && flat(par, *end, scaled);
    return Best{std::move(par), end->beta, std::move(run->message), end->value, scaled, run->convergence,
                converged, runaway, end};
  };
  // Starts run side by side while a block is small enough that each factorisation runs on one
  // OpenBLAS thread anyway; from there on, one after another with OpenBLAS's pool.
  const int start_threads = largest_ < threads::crossover(threads::Kind::factor) ? threads::pool() : 1;
  std::vector<std::vector<double>> starts;
  if (start.empty()) {
    starts = fit_starts(m(), signed_components);
    if (signed_components.empty() && pinned.empty())
      if (auto scanned = scanned_start(*this, ys, reml, start_threads)) starts.push_back(std::move(*scanned));
  } else {
    starts.emplace_back(start.size());
    for (std::size_t j = 0; j < start.size(); ++j) starts.back()[j] = start[j] / response->variance * sizes_[j];
  }
  // A runaway end, or one on its way to the runaway face, is kept only when no start found a
  // maximum. Each start writes its own slot,
  // so that starts may run side by side.
  std::vector<std::optional<Best>> runaways(starts.size());
  std::vector<std::size_t> order(starts.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto maximum = [&](std::size_t i) -> std::optional<Best> {
    std::optional<Best> end = attempt(starts[i]);
    if (end && (end->runaway ||
                toward_runaway(*this, coefficients_of(*this, end->coefficients), ys, reml, end->converged))) {
      runaways[i] = std::move(end);
      return std::nullopt;
    }
    return end;
  };
  std::optional<Best> best = multistart::best_of(order, maximum, start_threads);
  if (!best && !interrupt::requested())
    for (std::optional<Best>& end : runaways)
      if (end && (!best || end->value < best->value)) best = std::move(end);
  if (!best) return fail("COMPONENTS_NO_START_CONVERGED");
  // A run stopped on the face where V is singular starts again from where it stopped.
  multistart::restart_while_gaining(
      best, [](const Best& b) { return b.coefficients; }, attempt,
      [](const Best& b) { return b.converged || b.runaway; },
      most_restarts, restart_scale_floor, run_factr, n_);

  bool polished = false;
  if (!best->converged && !best->runaway) {
    const convergence::Evaluate measured = [&](std::span<const double> theta) -> std::optional<convergence::Evaluation> {
      const auto& evaluation = memo(theta);
      if (!evaluation) return std::nullopt;
      return convergence::Evaluation{evaluation->value, box->measure(theta, evaluation->gradient)};
    };
    auto polish = convergence::polish(best->coefficients, box->lower, box->upper, objective, gradient, measured,
                                      best->value, best->scaled_gradient);
    if (polish) {
      const auto& at = memo(polish->par);
      if (!at) return fail("COMPONENTS_OPTIMUM_NOT_EVALUABLE");
      *best = Best{polish->par, at->beta, std::move(polish->message), polish->value, polish->scaled_gradient,
                   polish->convergence, flat(polish->par, *at, polish->scaled_gradient), false, at};
      polished = true;
    }
  }

  const auto& final_evaluation = best->evaluation;
  if (!final_evaluation) return fail("COMPONENTS_OPTIMUM_NOT_EVALUABLE");
  ComponentFit fit = map_back(*this, *best, *final_evaluation, *box, *response, reml);
  fit.polished = polished;
  return fit;
}

}  // namespace kestrune::components
