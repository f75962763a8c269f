// The fit of a surface, its likelihood-ratio tests and its profile intervals.
#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "gxe/surface.hpp"
#include "numerics/convergence.hpp"
#include "numerics/difference_fit.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/moments.hpp"
#include "numerics/multistart.hpp"
#include "numerics/null_refit.hpp"

namespace kestrune::gxe {
namespace {

using compat_lbfgsb::Bounds;
using compat_lbfgsb::compat::LastPointMemo;
using Point = std::vector<double>;

constexpr double unevaluable = 1e30;
constexpr double converged_below = 1e-6;

// The fixed starts of each surface, in the order they are tried.
std::vector<Point> surface_starts(Surface surface) {
  if (surface == Surface::RandomRegression)
    return {{-0.36, 0.0, 0.0, -0.36, 0.0, 0.0},  {-0.36, -0.6, 0.4, -0.36, -0.1, 0.3},
            {-0.36, -0.2, 0.6, -0.36, -0.1, 0.3}, {-0.36, 0.0, 0.6, -0.36, 0.0, 0.3},
            {-0.36, 0.2, 0.6, -0.36, 0.1, 0.3},   {-0.36, 0.6, 0.4, -0.36, 0.1, 0.3},
            {-0.9, 0.0, 0.6, -0.22, 0.0, 0.45}};
  return {{-0.7, 0.0, 0.01, -0.7, 0.0},
          {-0.7, 0.3, 0.5, -0.7, 0.1},
          {-0.7, -0.3, 0.1, -0.7, -0.1},
          {-0.7, 0.0, 2.0, -0.7, 0.0}};
}

// Drops each point within 1e-12 in every coordinate of the last point kept before it: only
// neighbours are compared, so an equal point further down stays.
std::vector<Point> without_repeated_neighbours(const std::vector<Point>& points) {
  std::vector<Point> kept;
  for (const Point& point : points) {
    bool repeated = !kept.empty();
    for (std::size_t i = 0; repeated && i < point.size(); ++i)
      repeated = std::fabs(point[i] - kept.back()[i]) < 1e-12;
    if (!repeated) kept.push_back(point);
  }
  return kept;
}

// One finished start: its value (for the selection) and its point.
struct StartOutcome {
  double value;
  Point par;
};

// Starts with the residual concentrated at one end of the environments, t exp(b (e - end)), steep
// in units of their range, each with a slowly and a quickly decaying genetic correlation, the
// log genetic variance at `genetic`. Where a quick decay lets the genetic part stand in for a
// residual, the likelihood has further maxima out there, which the fixed starts, all with a
// gentle residual, do not reach.
std::vector<Point> steep_residual_starts(Surface surface, std::span<const double> environments, double genetic) {
  if (surface == Surface::RandomRegression || environments.size() < 2) return {};
  const double low = environments.front(), high = environments.back(), range = high - low;
  const double spread = std::pow(range, *shape_of(surface));
  std::vector<Point> starts;
  for (double steep : {6.0, 60.0})
    for (double sign : {1.0, -1.0}) {
      const double b = sign * steep / range, end = sign > 0.0 ? high : low;
      for (double decay : {1.0, 20.0})
        starts.push_back({genetic, 0.0, decay / spread, std::log(0.5) - b * end, b});
    }
  return starts;
}

}  // namespace

// ---- the fit ------------------------------------------------------------------------------

Result<GxeModel::Working> GxeModel::working_response(const Eigen::Ref<const Eigen::VectorXd>& y) const {
  if (static_cast<std::size_t>(y.size()) != n_) return fail("GXE_RESPONSE_WRONG_LENGTH");
  for (Eigen::Index i = 0; i < y.size(); ++i)
    if (!std::isfinite(y(i))) return fail("GXE_RESPONSE_NOT_FINITE");
  auto standardised = centring::standardise(y, least_squares_.centre(y));
  if (!standardised) return fail("GXE_RESPONSE_CONSTANT");
  return Working{std::move(standardised->y), standardised->variance, standardised->sd, std::move(standardised->offset),
                 moments::population_moments(y).variance};
}

Result<GxeFit> GxeModel::fit_holding(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                                     std::span<const std::size_t> held) const {
  std::vector<Point> starts = surface_starts(surface_);
  for (Point& start : steep_residual_starts(surface_, environments_, genetic_level()))
    starts.push_back(std::move(start));
  for (Point& start : starts)
    for (std::size_t h : held)
      if (h < start.size()) start[h] = 0.0;
  return fit_from(y, reml, held, without_repeated_neighbours(starts));
}

Result<GxeFit> GxeModel::fit_from(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                                  std::span<const std::size_t> held, std::vector<Point> starts) const {
  auto working = working_response(y);
  if (!working) return std::unexpected(working.error());
  const Eigen::VectorXd& ys = working->y;
  const double s = working->sd;

  const std::size_t d = parameter_count(surface_);
  auto [lower, upper] = bounds(surface_);
  std::vector<bool> is_held(d, false);
  for (std::size_t h : held) {
    if (h >= d) return fail("GXE_HELD_COORDINATE_OUT_OF_RANGE");
    lower[h] = upper[h] = 0.0;
    is_held[h] = true;
  }

  LastPointMemo memo([&](std::span<const double> x) { return evaluate(six_slots(x), ys, reml, true); });
  const compat_lbfgsb::compat::Objective objective = [&](std::span<const double> x) {
    const auto& e = memo(x);
    return e ? e->objective : unevaluable;
  };
  const compat_lbfgsb::compat::Gradient gradient = [&](std::span<const double> x) {
    const auto& e = memo(x);
    Point g(d, 0.0);
    if (e) std::copy_n(e->gradient.begin(), d, g.begin());
    return g;
  };
  // Only lower bounds enter: a slot at its upper bound counts in full.
  const auto measure = [&](std::span<const double> x, const Theta& g) {
    return convergence::largest_contribution(std::span<const double>(g.data(), d), [&](std::size_t i) {
      if (is_held[i]) return convergence::Edge::fixed;
      return std::isfinite(lower[i]) && x[i] <= lower[i] ? convergence::Edge::lower : convergence::Edge::interior;
    });
  };

  // A run from `start` in the box, with slot `fix` (when below d) held at its start's value too.
  const auto run_holding = [&](const Point& start, std::size_t fix) -> std::optional<StartOutcome> {
    Point low = lower, high = upper;
    if (fix < d) low[fix] = high[fix] = start[fix];
    auto box = Bounds::create(low, high);
    if (!box) return std::nullopt;
    const auto& at_start = memo(start);
    const auto control = multistart::start_controls(
        d, at_start ? std::optional<double>(at_start->objective) : std::nullopt, 300, 1000.0, 1e-8);
    auto run = compat_lbfgsb::compat::run(start, std::move(*box), objective, gradient, control);
    if (!run) return std::nullopt;
    const auto& evaluation = memo(run->par);
    if (!evaluation || !std::isfinite(evaluation->objective)) return std::nullopt;
    return StartOutcome{evaluation->objective, std::move(run->par)};
  };
  const auto run_from = [&](const Point& start) { return run_holding(start, d); };
  auto best = multistart::best_of(starts, run_from);
  if (!best) return fail("GXE_NO_START_CONVERGED");
  // Runs end beside higher maxima on the face of no decay, where the genetic effects at every two
  // environments are one, also where they let the genetic variance vanish, and a free run from
  // such a point can walk off the face into the lower basin: the search goes on over that face
  // from the best end moved onto it, as it is and with a constant genetic variance at the starts'
  // level, and then freely from the better face's end.
  if (surface_ != Surface::RandomRegression && !is_held[2]) {
    std::vector<Point> moved{best->par};
    moved.back()[2] = 0.0;
    if (!is_held[0] && !is_held[1]) {
      moved.push_back(moved.back());
      moved.back()[0] = genetic_level();
      moved.back()[1] = 0.0;
    }
    auto on_face = multistart::best_of(moved, [&](const Point& point) { return run_holding(point, 2); });
    const double tie = multistart::rounding_tie(best->value, 1000.0);
    if (on_face && on_face->value < best->value + tie) {
      auto run = run_from(on_face->par);
      if (run && run->value < on_face->value) on_face = std::move(run);
      if (on_face->value < best->value - tie) best = std::move(on_face);
    }
    // Maxima at other decay rates lie beside one another along the ridge where the genetic part
    // trades its correlation against the residual: the search goes on from the best end with its
    // decay a tenth and ten times as fast.
    if (best->par[2] > 0.0) {
      std::vector<Point> decays(2, best->par);
      decays[0][2] *= 0.1;
      decays[1][2] *= 10.0;
      auto other = multistart::best_of(decays, run_from);
      if (other && other->value < best->value - tie) best = std::move(other);
    }
  }

  // The point evaluated again, measured, and polished when not yet flat.
  Point par;
  Evaluation chosen;
  double scaled = 0.0;
  bool polished = false;
  const auto settle = [&](Point point) -> bool {
    auto again = evaluate(six_slots(point), ys, reml, true);
    if (!again) return false;
    chosen = std::move(*again);
    par = std::move(point);
    scaled = convergence::scaled_gradient(measure(par, chosen.gradient), chosen.objective);
    polished = false;
    if (scaled < converged_below) return true;
    const convergence::Evaluate evaluate_measure =
        [&](std::span<const double> x) -> std::optional<convergence::Evaluation> {
      const auto& e = memo(x);
      if (!e) return std::nullopt;
      return convergence::Evaluation{e->objective, measure(x, e->gradient)};
    };
    auto polish = convergence::polish(par, lower, upper, objective, gradient, evaluate_measure, chosen.objective,
                                      scaled);
    if (polish) {
      if (auto at_polish = evaluate(six_slots(polish->par), ys, reml, true)) {
        par = std::move(polish->par);
        chosen = std::move(*at_polish);
        scaled = polish->scaled_gradient;
        polished = true;
      }
    }
    return true;
  };
  if (!settle(std::move(best->par))) return fail("GXE_OPTIMUM_NOT_EVALUABLE");

  // Where the residual vanishes at every environment the measure cannot see a residual that
  // rises off that face: the search goes on from the step that does, a few times, and a point
  // such a step still leaves has not converged.
  bool rises = false;
  for (int round = 0; !is_held[3] && !is_held[4]; ++round) {
    const auto off = off_residual_face(six_slots(par), ys, reml, chosen.objective);
    if (!off) break;
    auto run = round < 4 ? run_from(Point(off->begin(), off->begin() + static_cast<std::ptrdiff_t>(d)))
                         : std::nullopt;
    if (!run || !(run->value < chosen.objective - multistart::rounding_tie(chosen.objective, 1000.0))) {
      rises = true;
      break;
    }
    if (!settle(std::move(run->par))) return fail("GXE_OPTIMUM_NOT_EVALUABLE");
  }

  // Where a steeper residual with the same value at its larger end is no worse, the likelihood
  // climbs towards a limit no point attains (the residual vanishing on all but the end of the
  // environments): the search goes on from there while it gains, and a point whose steeper
  // residual is still no worse has not converged. At a maximum the steeper residual falls off.
  for (int round = 0; !rises && !is_held[3] && !is_held[4]; ++round) {
    const auto steeper = steeper_residual(six_slots(par));
    if (!steeper) break;
    const auto at = evaluate(*steeper, ys, reml, false);
    const double tie = multistart::rounding_tie(chosen.objective, 1000.0);
    if (!at || at->objective > chosen.objective + tie) break;
    auto run = round < 4 ? run_from(Point(steeper->begin(), steeper->begin() + static_cast<std::ptrdiff_t>(d)))
                         : std::nullopt;
    if (!run || !(run->value < chosen.objective - tie)) {
      rises = true;
      break;
    }
    if (!settle(std::move(run->par))) return fail("GXE_OPTIMUM_NOT_EVALUABLE");
  }

  GxeFit fit;
  fit.searched.assign(par.begin(), par.begin() + static_cast<std::ptrdiff_t>(d));
  // Published on the scale of the response's own spread, the search's on the residual's.
  const Theta published = rescaled(surface_, six_slots(par), working->variance / working->response_variance);
  fit.parameters.assign(published.begin(), published.begin() + static_cast<std::ptrdiff_t>(d));
  fit.objective = chosen.objective;
  fit.beta = basis_.coefficients(chosen.beta * s + working->coefficients);
  if (chosen.covariance) {
    const Eigen::VectorXd se = basis_.standard_errors(*chosen.covariance * (s * s));
    fit.beta_se.assign(se.begin(), se.end());
  }
  fit.method = reml ? "reml" : "ml";
  const double kept = reml ? static_cast<double>(n_) - static_cast<double>(p()) : static_cast<double>(n_);
  fit.loglik = -chosen.objective - std::log(s) * kept;
  fit.scaled_gradient = scaled;
  fit.response_variance = working->response_variance;
  fit.polished = polished;
  fit.surface = surface_;
  fit.converged = scaled < converged_below && !rises && fit.reports_finite(environments_);
  return fit;
}

std::optional<Theta> GxeModel::off_residual_face(const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& ys,
                                                 bool reml, double value) const {
  if (surface_ == Surface::RandomRegression || environments_.empty()) return std::nullopt;
  // On the face: the residual below a millionth of every person's variance.
  for (const Family& family : families_)
    for (Eigen::Index r = 0; r < family.environment.size(); ++r) {
      const double e = family.environment(r);
      const double residual = residual_variance(surface_, theta, e);
      if (!(residual <= 1e-6 * (family.relationship(r, r) * genetic_covariance(surface_, theta, e, e) + residual)))
        return std::nullopt;
    }
  const auto at = evaluate_per_person(theta, ys, reml);
  if (!at) return std::nullopt;
  // From the face the admissible residuals are t exp(b e), t > 0: the likelihood falls along the
  // b of least h(b) = sum_r D_r exp(b (e_r - e_top)), D_r the derivative in person r's residual
  // variance and e_top the environment where the weight is 1 (the highest for b > 0). A grid
  // over b times the environments' range reaches the weights that single out either end.
  const double low = environments_.front(), high = environments_.back(), range = high - low;
  double least = INFINITY, slope = 0.0;
  for (int step = -30; step <= 30; ++step) {
    if (range == 0.0 && step != 0) continue;
    const double b = range > 0.0 ? 2.0 * step / range : 0.0;
    const double top = b > 0.0 ? high : low;
    double h = 0.0;
    for (const Family& family : families_)
      for (Eigen::Index r = 0; r < family.environment.size(); ++r)
        h += at->residual_derivatives(static_cast<Eigen::Index>(family.rows[static_cast<std::size_t>(r)])) *
             std::exp(b * (family.environment(r) - top));
    if (h < least) {
      least = h;
      slope = b;
    }
  }
  if (!(least < -converged_below * std::fmax(std::fabs(value), 1.0))) return std::nullopt;
  // A start with that residual, its size t the one of a short ladder where the objective is least.
  const double top = slope > 0.0 ? high : low;
  std::optional<std::pair<double, Theta>> best;
  for (double t : {0.3, 0.1, 0.03, 0.01}) {
    Theta moved = theta;
    moved[3] = std::log(t) - slope * top;
    moved[4] = slope;
    const auto e = evaluate(moved, ys, reml, false);
    if (e && (!best || e->objective < best->first)) best = std::pair{e->objective, moved};
  }
  if (!best) return std::nullopt;
  return best->second;
}

double GxeModel::genetic_level() const {
  double diagonal = 0.0;
  for (const Family& family : families_) diagonal += family.relationship.diagonal().sum();
  const double mean = diagonal / static_cast<double>(n_);
  return std::log(0.5) - (mean > 0.0 && std::isfinite(mean) ? std::log(mean) : 0.0);
}

std::optional<Theta> GxeModel::steeper_residual(const Theta& theta) const {
  if (surface_ == Surface::RandomRegression || environments_.size() < 2) return std::nullopt;
  const double low = environments_.front(), high = environments_.back();
  const double sign = theta[4] < 0.0 ? -1.0 : 1.0, end = sign > 0.0 ? high : low;
  Theta steeper = theta;
  steeper[4] = 2.0 * theta[4] + sign * 40.0 / (high - low);
  steeper[3] = theta[3] + (theta[4] - steeper[4]) * end;
  return steeper;
}

double GxeFit::genetic_covariance(double e1, double e2) const {
  return response_variance * gxe::genetic_covariance(surface, six_slots(parameters), e1, e2);
}

double GxeFit::residual_variance(double e) const {
  return response_variance * gxe::residual_variance(surface, six_slots(parameters), e);
}

// The heritability and the correlation are free of the response's units: they are read on
// the standardised scale, where no product of two variances can overflow.
double GxeFit::heritability_at(double e) const {
  const Theta theta = six_slots(parameters);
  const double g = gxe::genetic_covariance(surface, theta, e, e);
  const double total = g + gxe::residual_variance(surface, theta, e);
  return total > 0.0 ? g / total : NAN;
}

std::optional<double> GxeFit::genetic_correlation(double e1, double e2) const {
  const Theta theta = six_slots(parameters);
  const double product =
      gxe::genetic_covariance(surface, theta, e1, e1) * gxe::genetic_covariance(surface, theta, e2, e2);
  if (!(product > 0.0)) return std::nullopt;
  return std::clamp(gxe::genetic_covariance(surface, theta, e1, e2) / std::sqrt(product), -1.0, 1.0);
}

bool GxeFit::reports_finite(std::span<const double> environments) const {
  const auto finite = [](const auto& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  };
  if (!std::isfinite(loglik) || !finite(parameters) || !beta.allFinite() || !finite(beta_se)) return false;
  const Theta theta = six_slots(parameters);
  double least = INFINITY, most = 0.0;
  for (double e : environments) {
    const double g = gxe::genetic_covariance(surface, theta, e, e);
    if (!(std::isfinite(genetic_covariance(e, e)) && std::isfinite(residual_variance(e)) &&
          std::isfinite(heritability_at(e))))
      return false;
    least = std::fmin(least, g);
    most = std::fmax(most, g);
  }
  // A correlation divides by the root of a product of two of these variances (standardised).
  return environments.empty() || (least * least > 0.0 && std::isfinite(most * most));
}

GridReport report_on_grid(const GxeFit& fit, std::span<const double> grid) {
  GridReport report;
  for (double g : grid) {
    report.genetic_variance.push_back(fit.genetic_covariance(g, g));
    report.residual_variance.push_back(fit.residual_variance(g));
    report.heritability.push_back(fit.heritability_at(g));
  }
  for (double gi : grid)
    for (double gj : grid) report.correlation.push_back(fit.genetic_correlation(gi, gj).value_or(NAN));
  return report;
}

// ---- tests --------------------------------------------------------------------------------

namespace {

Result<GxeTestRecord> likelihood_ratio_test(const GxeModel& model, const Eigen::Ref<const Eigen::VectorXd>& y,
                                            bool reml, std::span<const std::size_t> held,
                                            std::string_view reference) {
  auto full = model.fit_holding(y, reml, {});
  if (!full) return std::unexpected(full.error());
  auto null = model.fit_holding(y, reml, held);
  if (!null) return std::unexpected(null.error());
  if (!full->converged) return fail("GXE_FIT_NOT_CONVERGED");
  if (!null->converged) return fail("GXE_NULL_FIT_NOT_CONVERGED");
  const auto from_null = [&] { return model.fit_from(y, reml, {}, {null->searched}); };
  auto best = null_refit::full_above_null(std::move(*full), null->loglik, from_null, "GXE_BETTER_UNRESOLVED_OPTIMUM");
  if (!best) return std::unexpected(best.error());
  return likelihood_ratio_record(reference, null->loglik, best->loglik);
}

}  // namespace

Result<GxeTestRecord> GxeModel::interaction_test(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml) const {
  constexpr std::size_t held[] = {1, 2};
  return likelihood_ratio_test(*this, y, reml, held, "half_chi2_1_half_chi2_2");
}

Result<GxeTestRecord> GxeModel::correlation_test(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml) const {
  constexpr std::size_t held[] = {2};
  return likelihood_ratio_test(*this, y, reml, held, "mixture_50_50");
}

Result<GxeTestRecord> GxeModel::variance_test(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml) const {
  if (surface_ == Surface::RandomRegression) return interaction_test(y, reml);
  constexpr std::size_t held[] = {1};
  return likelihood_ratio_test(*this, y, reml, held, "chi2_1");
}

// ---- profile intervals --------------------------------------------------------------------

std::optional<Theta> GxeModel::repair(const Theta& theta, const GxeQuantity& quantity, double value) const {
  Theta repaired = theta;
  if (quantity.kind == GxeQuantity::Kind::Heritability) {
    const double e = quantity.first;
    if (!(value > 0.0 && value < 1.0)) return std::nullopt;
    const double g = gxe::genetic_covariance(surface_, theta, e, e);
    const double target = (1.0 - value) * g / value;
    if (!(std::isfinite(target) && target > 0.0)) return std::nullopt;
    const double current = gxe::residual_variance(surface_, theta, e);
    if (!(current > 0.0)) return std::nullopt;
    const double q = target / current;
    if (surface_ != Surface::RandomRegression) {
      repaired[3] = theta[3] + std::log(q);
    } else {
      repaired[3] = theta[3] + 0.5 * std::log(q);
      repaired[4] = theta[4] * std::sqrt(q);
      repaired[5] = theta[5] * std::sqrt(q);
    }
    return repaired;
  }
  const double e1 = quantity.first, e2 = quantity.second;
  if (!(std::fabs(value) <= 1.0) || std::fabs(e1 - e2) < 1e-12) return std::nullopt;
  if (surface_ == Surface::RandomRegression) {
    const double g11 = gxe::genetic_covariance(surface_, theta, e1, e1);
    const double g22 = gxe::genetic_covariance(surface_, theta, e2, e2);
    if (!(g11 > 0.0 && g22 > 0.0)) return std::nullopt;
    const double x[] = {0.5 * std::log(g11), 0.5 * std::log(g22), theta[3], theta[4], theta[5]};
    return repair_random_regression_correlation(x, e1, e2, value);
  }
  if (!(value > 0.0)) return std::nullopt;
  repaired[2] = -std::log(value) / std::pow(std::fabs(e1 - e2), *shape_of(surface_));
  return repaired;
}

std::optional<Theta> GxeModel::repair_random_regression_correlation(std::span<const double> x, double e1,
                                                                    double e2, double r) {
  if (x.size() != 5 || !(std::fabs(e1 - e2) >= 1e-12) || !(std::fabs(r) <= 1.0)) return std::nullopt;
  const double sigma1 = std::exp(x[0]), sigma2 = std::exp(x[1]);
  const auto usable = [](double sigma) { return sigma != 0.0 && std::isfinite(sigma); };
  if (!usable(sigma1) || !usable(sigma2)) return std::nullopt;
  const double delta = e2 - e1;
  Theta theta{0.0, 0.0, 0.0, x[2], x[3], x[4]};
  if (std::fabs(r) == 1.0) {
    // Rank one: intercept a and slope b put sigma1 at e1 and r sigma2 at e2.
    const double a = (e2 * sigma1 - e1 * r * sigma2) / delta;
    const double b = (r * sigma2 - sigma1) / delta;
    if (!std::isfinite(b) || a == 0.0 || !std::isfinite(a)) return std::nullopt;
    theta[0] = std::log(std::fabs(a));
    theta[1] = a > 0.0 ? b : -b;
    theta[2] = 0.0;
    return theta;
  }
  const double c = r * sigma1 * sigma2;
  const double delta2 = delta * delta;
  const double m00 = (e2 * e2 * sigma1 * sigma1 + e1 * e1 * sigma2 * sigma2 - 2.0 * e1 * e2 * c) / delta2;
  const double m01 = ((e1 + e2) * c - e2 * sigma1 * sigma1 - e1 * sigma2 * sigma2) / delta2;
  const double m11 = (sigma1 * sigma1 + sigma2 * sigma2 - 2.0 * c) / delta2;
  if (!(m11 >= 0.0 && std::isfinite(m11) && std::isfinite(m00) && m00 > 0.0 && std::isfinite(m01)))
    return std::nullopt;
  const double l11 = std::sqrt(m00);
  const double l21 = m01 / l11;
  const double rest = m11 - l21 * l21;
  if (rest < -1e-10 * (std::fabs(m11) + 1.0 + l21 * l21)) return std::nullopt;
  theta[0] = std::log(l11);
  theta[1] = l21;
  theta[2] = std::sqrt(std::fmax(rest, 0.0));
  return theta;
}

namespace {

// The objective of a refit and its gradient in the optimiser's coordinates, from one pass.
struct ProfilePoint {
  double value;
  Point gradient;
};

}  // namespace

std::optional<double> GxeModel::profile_objective(const Eigen::Ref<const Eigen::VectorXd>& ys, bool reml,
                                                  const GxeQuantity& quantity, std::span<const double> start,
                                                  double value) const {
  const std::size_t d = parameter_count(surface_);
  const bool factor_mode =
      quantity.kind == GxeQuantity::Kind::Correlation && surface_ == Surface::RandomRegression;
  const std::size_t k = factor_mode ? 5 : d;
  const double e1 = quantity.first, e2 = quantity.second;
  const auto to_theta = [&](std::span<const double> x) -> std::optional<Theta> {
    if (factor_mode) return repair_random_regression_correlation(x, e1, e2, value);
    return repair(six_slots(x), quantity, value);
  };

  Point lower, upper, x0;
  if (factor_mode) {
    lower = {-INFINITY, -INFINITY, -15.0, -INFINITY, -INFINITY};
    upper = {INFINITY, INFINITY, 15.0, INFINITY, INFINITY};
    const Theta theta = six_slots(start);
    const double g11 = gxe::genetic_covariance(surface_, theta, e1, e1);
    const double g22 = gxe::genetic_covariance(surface_, theta, e2, e2);
    if (g11 <= 0.0 || g22 <= 0.0) return std::nullopt;
    x0 = {0.5 * std::log(g11), 0.5 * std::log(g22), theta[3], theta[4], theta[5]};
  } else {
    std::tie(lower, upper) = bounds(surface_);
    x0.assign(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(std::min(d, start.size())));
    x0.resize(d, 0.0);
  }

  // The gradient through central differences of the repair, one-sided where only one side
  // of a coordinate has a repair.
  LastPointMemo memo([&](std::span<const double> x) -> ProfilePoint {
    ProfilePoint point{unevaluable, Point(k, 0.0)};
    const auto theta = to_theta(x);
    if (!theta) return point;
    const auto evaluation = evaluate(*theta, ys, reml, true);
    if (!evaluation) return point;
    point.value = evaluation->objective;
    Point shifted(x.begin(), x.end());
    for (std::size_t i = 0; i < k; ++i) {
      const double h = 1e-6 * std::fmax(std::fabs(x[i]), 1.0);
      shifted[i] = x[i] + h;
      const auto plus = to_theta(shifted);
      shifted[i] = x[i] - h;
      const auto minus = to_theta(shifted);
      shifted[i] = x[i];
      if (!plus && !minus) {
        point.gradient[i] = NAN;
        continue;
      }
      double component = 0.0;
      for (std::size_t j = 0; j < d; ++j) {
        const double derivative = plus && minus ? ((*plus)[j] - (*minus)[j]) / (2.0 * h)
                                  : plus        ? ((*plus)[j] - (*theta)[j]) / h
                                                : ((*theta)[j] - (*minus)[j]) / h;
        component += evaluation->gradient[j] * derivative;
      }
      point.gradient[i] = component;
    }
    return point;
  });
  const compat_lbfgsb::compat::Objective objective = [&](std::span<const double> x) { return memo(x).value; };
  const compat_lbfgsb::compat::Gradient gradient = [&](std::span<const double> x) { return memo(x).gradient; };
  // Only the part of a component that points into the box counts at an edge (within 1e-12).
  const auto measure = [&](std::span<const double> x, std::span<const double> g) {
    return difference_fit::projected_magnitude(x, g, lower, upper, 1e-12);
  };

  std::vector<Point> candidates;
  if (to_theta(x0)) candidates.push_back(x0);
  if (factor_mode && std::fabs(value) >= 1.0) {
    for (double shift : {-1.0, 1.0}) {
      Point moved = x0;
      moved[0] += shift;
      if (to_theta(moved)) candidates.push_back(std::move(moved));
    }
  }
  candidates = without_repeated_neighbours(candidates);

  std::optional<double> least;
  for (const Point& candidate : candidates) {
    if (interrupt::requested()) return std::nullopt;
    auto box = Bounds::create(lower, upper);
    if (!box) return std::nullopt;
    const double at_candidate = objective(candidate);
    const auto control = multistart::start_controls(k, at_candidate, 300, 1000.0, 1e-8);
    Point kept = candidate;
    double value_kept = at_candidate;
    if (auto run = compat_lbfgsb::compat::run(candidate, std::move(*box), objective, gradient, control)) {
      const double at_run = objective(run->par);
      if (at_run < at_candidate) {
        kept = std::move(run->par);
        value_kept = at_run;
      }
    }
    double scaled = convergence::scaled_gradient(measure(kept, gradient(kept)), value_kept);
    if (!(scaled < converged_below)) {
      const convergence::Evaluate evaluate_measure =
          [&](std::span<const double> x) -> std::optional<convergence::Evaluation> {
        const ProfilePoint& point = memo(x);
        return convergence::Evaluation{point.value, measure(x, point.gradient)};
      };
      if (auto polish =
              convergence::polish(kept, lower, upper, objective, gradient, evaluate_measure, value_kept, scaled)) {
        kept = std::move(polish->par);
        value_kept = polish->value;
        scaled = polish->scaled_gradient;
      }
    }
    const bool converged = std::isfinite(value_kept) && scaled < converged_below;
    if (converged && (!least || value_kept < *least)) least = value_kept;
  }
  if (!least) return std::nullopt;
  return -*least;
}

Result<interval::ProfileInterval> GxeModel::profile_interval(const Eigen::Ref<const Eigen::VectorXd>& y,
                                                             bool reml, const GxeQuantity& quantity) const {
  auto fit = fit_holding(y, reml, {});
  if (!fit) return std::unexpected(fit.error());
  if (!fit->converged) return fail("GXE_FIT_NOT_CONVERGED");

  double estimate;
  bool factor_mode = false;
  if (quantity.kind == GxeQuantity::Kind::Heritability) {
    estimate = fit->heritability_at(quantity.first);
  } else {
    const auto correlation = fit->genetic_correlation(quantity.first, quantity.second);
    if (!correlation) return fail("GXE_QUANTITY_NOT_FINITE");
    estimate = *correlation;
    factor_mode = surface_ == Surface::RandomRegression;
  }
  if (!std::isfinite(estimate)) return fail("GXE_QUANTITY_NOT_FINITE");

  auto working = working_response(y);
  if (!working) return std::unexpected(working.error());
  const Eigen::VectorXd& ys = working->y;
  const double lower = factor_mode ? -1.0 : 1e-6;
  const double upper = quantity.kind == GxeQuantity::Kind::Heritability ? 0.999999 : 1.0;
  auto result = interval::profile_interval(
      [&](double value) { return profile_objective(ys, reml, quantity, fit->searched, value); }, estimate, lower,
      upper);
  if (!result.estimate) return fail("GXE_QUANTITY_NOT_HELD_AT_ITS_OWN_ESTIMATE");
  return result;
}

}  // namespace kestrune::gxe
