#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "discrete_gxe/model.hpp"
#include "numerics/convergence.hpp"
#include "numerics/deviance.hpp"
#include "numerics/multistart.hpp"
#include "numerics/null_refit.hpp"

namespace kestrune::discrete_gxe {

namespace {

// The full vectors every fit starts from, on the standardised scale, in the order tried.
constexpr std::array<Parameters, 5> starts = {{
    {0.7, 0.7, 0.7, 0.7, 1.0},
    {0.7, 0.7, 0.7, 0.7, 0.3},
    {0.9, 0.5, 0.6, 0.8, 0.8},
    {0.5, 0.9, 0.8, 0.6, 0.8},
    {0.6, 0.6, 0.8, 0.8, -0.2},
}};

constexpr double converged_below = 1e-6;
constexpr double unevaluable = 1e30;

struct Standardised {
  Eigen::VectorXd y;  // the response less its least-squares fit, over that residual's sd
  double variance;
  double sd;
  Eigen::VectorXd coefficients;  // the least-squares fit taken out, on the model's basis
};

Result<Standardised> standardise(const Eigen::VectorXd& response, const DiscreteGxeModel& model) {
  if (static_cast<std::size_t>(response.size()) != model.n()) return fail("DISCRETE_GXE_RESPONSE_WRONG_LENGTH");
  for (double value : response)
    if (!std::isfinite(value)) return fail("DISCRETE_GXE_RESPONSE_NOT_FINITE");
  auto standardised = centring::standardise(response, model.least_squares().centre(response));
  if (!standardised) return fail("DISCRETE_GXE_RESPONSE_CONSTANT");
  return Standardised{std::move(standardised->y), standardised->variance, standardised->sd,
                      std::move(standardised->offset)};
}

// Whether every number a fit reports is finite, its heritabilities included.
bool reports_finite(const DiscreteGxeFit& fit) {
  const auto finite = [](double v) { return std::isfinite(v); };
  const std::array<double, 6> numbers = {fit.genetic_variances[0], fit.genetic_variances[1],
                                         fit.residual_variances[0], fit.residual_variances[1],
                                         fit.correlation,           fit.loglik};
  return std::all_of(numbers.begin(), numbers.end(), finite) && fit.beta.allFinite() && fit.beta_se.allFinite() &&
         fit.genetic_variances[0] + fit.residual_variances[0] > 0.0 &&
         fit.genetic_variances[1] + fit.residual_variances[1] > 0.0;
}

// The box of the free vector: standard deviations from 0 up, rho (last, when free) in [-1, 1].
struct Box {
  std::vector<double> lower;
  std::vector<double> upper;
};

Box box_of(const Constraint& constraint) {
  const std::size_t k = constraint.free_size();
  Box box{std::vector<double>(k, 0.0), std::vector<double>(k, std::numeric_limits<double>::infinity())};
  if (!constraint.correlation) {
    box.lower.back() = -1.0;
    box.upper.back() = 1.0;
  }
  return box;
}

// A finished start, or the point the fit reports.
struct Point {
  std::vector<double> free;
  double value;
  Evaluation evaluation;
};

// A step off the faces where standard deviations are 0: the full vector moves by t times `along`
// and rho becomes `rho`.
struct Step {
  Parameters along{};
  double rho;
};

// The least of a u^2 + c u v + b v^2 over u, v >= 0 with u^2 + v^2 = 1, and where.
std::pair<double, std::array<double, 2>> least_on_quarter(double a, double b, double c) {
  std::pair<double, std::array<double, 2>> least{a, {1.0, 0.0}};
  if (b < least.first) least = {b, {0.0, 1.0}};
  if (c < 0.0) {  // the lower eigenvector of [[a, c/2], [c/2, b]] has entries of one sign
    const double h = 0.5 * c;
    const double lower = 0.5 * (a + b) - std::hypot(0.5 * (a - b), h);
    const double u = -h, v = a - lower, norm = std::hypot(u, v);
    if (lower < least.first && norm > 0.0) least = {lower, {u / norm, v / norm}};
  }
  return least;
}

// The steps off the faces at x along which the objective falls, read from the derivatives d along
// (g1^2, g2^2, rho g1 g2, e1^2, e2^2): to first order in the step where one genetic standard
// deviation at 0 meets a positive one (the covariance moves linearly), else to second. A standard
// deviation at 0 has no derivative of its own, so the box measure cannot see these.
std::vector<Step> descents(const Parameters& x, const Parameters& d, const Constraint& constraint, double tolerance) {
  std::vector<Step> steps;
  const bool rho_free = !constraint.correlation;
  // The rho that makes the covariance term rho a b d[2] fall, a b >= 0.
  const double falling_rho = d[2] > 0.0 ? -1.0 : d[2] < 0.0 ? 1.0 : x[4];
  const double rho = rho_free ? falling_rho : x[4];
  if (constraint.residual_equal) {
    if (x[2] == 0.0 && d[3] + d[4] < -tolerance) steps.push_back({{0.0, 0.0, 1.0, 1.0, 0.0}, x[4]});
  } else {
    if (x[2] == 0.0 && d[3] < -tolerance) steps.push_back({{0.0, 0.0, 1.0, 0.0, 0.0}, x[4]});
    if (x[3] == 0.0 && d[4] < -tolerance) steps.push_back({{0.0, 0.0, 0.0, 1.0, 0.0}, x[4]});
  }
  if (x[0] == 0.0 && x[1] == 0.0) {
    if (constraint.genetic_equal) {
      if (d[0] + d[1] + rho * d[2] < -tolerance) steps.push_back({{1.0, 1.0, 0.0, 0.0, 0.0}, rho});
    } else {
      const auto [least, at] = least_on_quarter(d[0], d[1], rho * d[2]);
      if (least < -tolerance) steps.push_back({{at[0], at[1], 0.0, 0.0, 0.0}, rho});
    }
    return steps;
  }
  for (std::size_t zero : {0, 1}) {  // one genetic sd at 0 beside a positive one
    const double other = x[1 - zero];
    if (constraint.genetic_equal || x[zero] != 0.0 || !(other > 0.0)) continue;
    Parameters along{};
    along[zero] = 1.0;
    const double slope = rho * other * d[2];
    if (slope < -tolerance || (!(slope > tolerance) && d[zero] < -tolerance)) steps.push_back({along, rho});
  }
  return steps;
}

// The model seen through a constraint on one standardised response.
struct Problem {
  const DiscreteGxeModel& model;
  const Eigen::VectorXd& y;
  bool reml;
  const Constraint& constraint;
  Box box;

  std::optional<Evaluation> evaluate(std::span<const double> free, bool with_gradient) const {
    return model.evaluate(constraint.expand(free), y, reml, with_gradient);
  }

  // Value and gradient of the free vector from one evaluation per point.
  struct WithGradient {
    const Problem* problem;
    std::optional<Evaluation> operator()(std::span<const double> x) const { return problem->evaluate(x, true); }
  };
  using Memo = compat_lbfgsb::compat::LastPointMemo<WithGradient>;

  static compat_lbfgsb::compat::Objective objective(Memo& memo) {
    return [&memo](std::span<const double> x) {
      const auto& evaluation = memo(x);
      return evaluation ? evaluation->objective : unevaluable;
    };
  }

  compat_lbfgsb::compat::Gradient gradient(Memo& memo) const {
    return [&memo, this](std::span<const double> x) {
      const auto& evaluation = memo(x);
      return evaluation ? constraint.fold(evaluation->gradient) : std::vector<double>(x.size(), 0.0);
    };
  }

  double scaled_gradient(const Evaluation& evaluation, std::span<const double> x) const {
    const double measure = convergence::box_measure(constraint.fold(evaluation.gradient), x, box.lower, box.upper);
    return convergence::scaled_gradient(measure, evaluation.objective);
  }

  // One run from `start`; nothing when it is skipped.
  std::optional<Point> run_from(std::vector<double> start) const {
    auto bounds = compat_lbfgsb::Bounds::create(box.lower, box.upper);
    if (!bounds) return std::nullopt;
    const auto at_start = evaluate(start, false);
    auto control = multistart::start_controls(
        start.size(), at_start ? std::optional<double>(at_start->objective) : std::nullopt, 300, 1000.0, 1e-9);
    Memo memo(WithGradient{this});
    auto run = compat_lbfgsb::compat::run(std::move(start), std::move(*bounds), objective(memo), gradient(memo),
                                          std::move(control));
    if (!run) return std::nullopt;
    auto evaluation = evaluate(run->par, true);
    if (!evaluation || !std::isfinite(evaluation->objective)) return std::nullopt;
    const double value = evaluation->objective;
    return Point{std::move(run->par), value, std::move(*evaluation)};
  }

  // Starts one step off the faces at `point` along each direction in which the objective falls
  // (descents), each at the step of a short ladder where the objective is least.
  std::vector<std::vector<double>> off_face_starts(const Point& point) const {
    const Parameters x = constraint.expand(point.free);
    if (x[0] != 0.0 && x[1] != 0.0 && x[2] != 0.0 && x[3] != 0.0) return {};  // on no face
    const auto d = model.variance_gradient(x, y, reml);
    if (!d) return {};
    std::vector<std::vector<double>> found;
    for (const Step& step : descents(x, *d, constraint, converged_below * std::fmax(std::fabs(point.value), 1.0))) {
      std::optional<std::pair<double, std::vector<double>>> least;
      for (double t : {0.3, 0.1, 0.03, 0.01}) {
        Parameters moved = x;
        for (std::size_t i = 0; i < 4; ++i) moved[i] += t * step.along[i];
        moved[4] = step.rho;
        std::vector<double> free = constraint.reduce(moved);
        const auto at = evaluate(free, false);
        if (at && (!least || at->objective < least->first)) least = std::pair{at->objective, std::move(free)};
      }
      if (least) found.push_back(std::move(least->second));
    }
    return found;
  }

  // A run from `point` with every free standard deviation below 1e-3 (on the standardised scale,
  // a variance below 1e-6) set to 0; nothing where there is none.
  std::optional<Point> land_on_faces(const Point& point) const {
    std::vector<double> landed = point.free;
    const std::size_t sds = constraint.correlation ? landed.size() : landed.size() - 1;
    bool moved = false;
    for (std::size_t i = 0; i < sds; ++i) {
      if (landed[i] > 0.0 && landed[i] < 1e-3) {
        landed[i] = 0.0;
        moved = true;
      }
    }
    if (!moved) return std::nullopt;
    return run_from(std::move(landed));
  }

  // The polishing run from the best point: the polished point and its scaled gradient when
  // it is adopted.
  std::optional<std::pair<Point, double>> polish(const Point& best, double scaled) const {
    Memo memo(WithGradient{this});
    const convergence::Evaluate check = [this](std::span<const double> x) -> std::optional<convergence::Evaluation> {
      const auto evaluation = evaluate(x, true);
      if (!evaluation) return std::nullopt;
      return convergence::Evaluation{
          evaluation->objective, convergence::box_measure(constraint.fold(evaluation->gradient), x, box.lower, box.upper)};
    };
    auto polished = convergence::polish(best.free, box.lower, box.upper, objective(memo), gradient(memo), check,
                                        best.value, scaled);
    if (!polished) return std::nullopt;
    auto evaluation = evaluate(polished->par, true);
    if (!evaluation) return std::nullopt;
    return std::pair{Point{std::move(polished->par), polished->value, std::move(*evaluation)},
                     polished->scaled_gradient};
  }
};

// The point a search reports, its measure, and whether the polishing run was adopted.
struct Settled {
  Point point;
  double scaled;
  bool polished;
};

// The best point evaluated again, measured, and polished when not yet flat.
Result<Settled> settle(const Problem& problem, Point best) {
  auto at_best = problem.evaluate(best.free, true);
  if (!at_best) return fail("DISCRETE_GXE_OPTIMUM_NOT_EVALUABLE");
  best.evaluation = std::move(*at_best);
  const double scaled = problem.scaled_gradient(best.evaluation, best.free);
  if (scaled >= converged_below) {
    if (auto polished = problem.polish(best, scaled)) return Settled{std::move(polished->first), polished->second, true};
  }
  return Settled{std::move(best), scaled, false};
}

DiscreteGxeFit report(const DiscreteGxeModel& model, const Standardised& standard, bool reml,
                      const Constraint& constraint, const Point& point, double scaled, bool polished,
                      bool rises_off_a_face) {
  const Parameters x = constraint.expand(point.free);
  const double var = standard.variance;
  const double sd = standard.sd;
  std::size_t first = 0;
  for (bool in_first : model.first_group()) first += in_first ? 1 : 0;
  const double kept = reml ? static_cast<double>(model.n() - model.p()) : static_cast<double>(model.n());
  DiscreteGxeFit fit{
      x,
      point.value,
      model.basis().coefficients(point.evaluation.beta * sd + standard.coefficients),
      model.basis().standard_errors(point.evaluation.covariance * (sd * sd)),
      reml ? "reml" : "ml",
      model.levels(),
      {x[0] * x[0] * var, x[1] * x[1] * var},
      {x[2] * x[2] * var, x[3] * x[3] * var},
      x[4],
      -point.value - std::log(sd) * kept,
      scaled,
      {first, model.n() - first},
      scaled < converged_below,
      polished,
  };
  fit.converged = fit.converged && !rises_off_a_face && reports_finite(fit);
  return fit;
}

}  // namespace

Result<DiscreteGxeFit> DiscreteGxeModel::fit_under(const Eigen::VectorXd& response, bool reml,
                                                   const Constraint& constraint) const {
  return fit_from(response, reml, constraint, starts);
}

Result<DiscreteGxeFit> DiscreteGxeModel::fit_from(const Eigen::VectorXd& response, bool reml,
                                                  const Constraint& constraint,
                                                  std::span<const Parameters> from) const {
  auto standard = standardise(response, *this);
  if (!standard) return std::unexpected(standard.error());
  const Problem problem{*this, standard->y, reml, constraint, box_of(constraint)};

  auto best = multistart::best_of(
      from, [&](const Parameters& start) { return problem.run_from(constraint.reduce(start)); });
  if (!best) return fail("DISCRETE_GXE_NO_START_CONVERGED");

  auto settled = settle(problem, std::move(*best));
  if (!settled) return std::unexpected(settled.error());

  // A search closing on a face where standard deviations are 0 (REML's limit where the covariance
  // is singular, say) approaches it geometrically, need not land on it, and stops short of flat
  // beside it, where rounding moves the value by more than the face's own gain. The face itself
  // is taken where it has converged, no step off it rises, and its value is within the
  // convergence tolerance of the point beside it.
  if (!(settled->scaled < converged_below)) {
    if (auto landed = problem.land_on_faces(settled->point)) {
      auto again = settle(problem, std::move(*landed));
      const double slack = converged_below * std::fmax(std::fabs(settled->point.value), 1.0);
      if (again && again->scaled < converged_below && again->point.value <= settled->point.value + slack &&
          problem.off_face_starts(again->point).empty())
        settled = std::move(again);
    }
  }

  // A point where standard deviations are 0 is a maximum only where no step off that face rises:
  // the search goes on from the steps that do, a few times, and a point they still leave has not
  // converged.
  bool rises = false;
  for (int round = 0;; ++round) {
    const auto off = problem.off_face_starts(settled->point);
    if (off.empty()) break;
    std::optional<Point> better;
    const double tie = multistart::rounding_tie(settled->point.value, 1000.0);
    for (const auto& start : off) {
      if (round == 4) break;
      auto run = problem.run_from(start);
      if (run && run->value < settled->point.value - tie && (!better || run->value < better->value))
        better = std::move(run);
    }
    if (!better) {
      rises = true;
      break;
    }
    settled = settle(problem, std::move(*better));
    if (!settled) return std::unexpected(settled.error());
  }
  return report(*this, *standard, reml, constraint, settled->point, settled->scaled, settled->polished, rises);
}

// ---- tests and interval -----------------------------------------------------------------

Result<DiscreteGxeTest> DiscreteGxeModel::likelihood_ratio(const Eigen::VectorXd& response, bool reml,
                                                           const Constraint& null,
                                                           std::string_view reference) const {
  const auto full = fit_under(response, reml, Constraint{});
  if (!full) return std::unexpected(full.error());
  const auto restricted = fit_under(response, reml, null);
  if (!restricted) return std::unexpected(restricted.error());
  if (!full->converged) return fail("DISCRETE_GXE_FIT_NOT_CONVERGED");
  if (!restricted->converged) return fail("DISCRETE_GXE_NULL_FIT_NOT_CONVERGED");
  const auto from_null = [&] {
    return fit_from(response, reml, Constraint{}, std::span<const Parameters>(&restricted->parameters, 1));
  };
  auto best = null_refit::full_above_null(*full, restricted->loglik, from_null, "DISCRETE_GXE_BETTER_UNRESOLVED_OPTIMUM");
  if (!best) return std::unexpected(best.error());
  return gxe::likelihood_ratio_record(reference, restricted->loglik, best->loglik);
}

Result<DiscreteGxeTest> DiscreteGxeModel::gene_by_environment_test(const Eigen::VectorXd& response,
                                                                   bool reml) const {
  return likelihood_ratio(response, reml, Constraint{1.0, true, false}, "mixture_chi2_1_chi2_2");
}

Result<DiscreteGxeTest> DiscreteGxeModel::any_difference_test(const Eigen::VectorXd& response, bool reml) const {
  return likelihood_ratio(response, reml, Constraint{1.0, true, true}, "mixture_chi2_2_chi2_3");
}

Result<DiscreteGxeTest> DiscreteGxeModel::correlation_test(const Eigen::VectorXd& response, bool reml) const {
  return likelihood_ratio(response, reml, Constraint{1.0, false, false}, "mixture_50_50");
}

Result<DiscreteGxeTest> DiscreteGxeModel::genetic_equality_test(const Eigen::VectorXd& response, bool reml) const {
  return likelihood_ratio(response, reml, Constraint{std::nullopt, true, false}, "chi2_1");
}

Result<DiscreteGxeTest> DiscreteGxeModel::residual_equality_test(const Eigen::VectorXd& response, bool reml) const {
  return likelihood_ratio(response, reml, Constraint{std::nullopt, false, true}, "chi2_1");
}

Result<interval::ProfileInterval> DiscreteGxeModel::correlation_interval(const Eigen::VectorXd& response,
                                                                         bool reml) const {
  const auto full = fit_under(response, reml, Constraint{});
  if (!full) return std::unexpected(full.error());
  if (!full->converged) return fail("DISCRETE_GXE_FIT_NOT_CONVERGED");
  if (!std::isfinite(full->correlation)) return fail("DISCRETE_GXE_CORRELATION_NOT_FINITE");
  // A refit counts only when it converged.
  auto refit = [&](double r) -> std::optional<double> {
    const auto held = fit_under(response, reml, Constraint{r, false, false});
    if (!held || !held->converged) return std::nullopt;
    return held->loglik;
  };
  auto profile = interval::profile_interval(refit, full->correlation, -1.0, 1.0);
  if (!profile.estimate) return fail("DISCRETE_GXE_PROFILE_NOT_EVALUABLE");
  return profile;
}

}  // namespace kestrune::discrete_gxe
