#include "components/inference.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "components/fit.hpp"
#include "numerics/convergence.hpp"
#include "numerics/deviance.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/multistart.hpp"
#include "numerics/null_refit.hpp"

namespace kestrune::components {
namespace {

constexpr double converged_below = 1e-6;
constexpr double infinity = std::numeric_limits<double>::infinity();

// ---- the held-share profile ----------------------------------------------------------------

// The free coordinates u of every component but t (ascending) and the coefficients they stand
// for. Component o's coefficient is (1 - share) c_o u_r / w_o and t's is share sum_r c_o u_r / w_t,
// with c_o = w_o / ((1 - share) size_o + share size_t w_o / w_t): then the coefficients times their
// matrices' sizes sum to sum_r u_r, so that a matrix in other units, or a share held near 0 or 1
// on a matrix of another size, leaves the search on the scale of the variance it fits.
struct HeldShare {
  std::size_t t;
  std::span<const double> weights;
  std::span<const double> sizes;
  double share;

  double carried(std::size_t o) const {
    return weights[o] / ((1.0 - share) * sizes[o] + share * sizes[t] * weights[o] / weights[t]);
  }

  std::vector<double> coefficients(std::span<const double> u) const {
    std::vector<double> theta(weights.size());
    double total = 0.0;
    for (std::size_t r = 0; r < u.size(); ++r) {
      const std::size_t o = other(r);
      const double part = carried(o) * u[r];
      theta[o] = (1.0 - share) * part / weights[o];
      total += part;
    }
    theta[t] = share * total / weights[t];
    return theta;
  }

  // The gradient in u, one-sided where u_r is at its bound.
  std::vector<double> free_gradient(std::span<const double> u, const Eigen::VectorXd& g) const {
    std::vector<double> carried_gradient(u.size());
    const auto gt = g[static_cast<Eigen::Index>(t)];
    for (std::size_t r = 0; r < u.size(); ++r) {
      const std::size_t o = other(r);
      double entry =
          carried(o) * (gt * share / weights[t] + g[static_cast<Eigen::Index>(o)] * (1.0 - share) / weights[o]);
      if (u[r] <= 1e-9) entry = std::fmin(entry, 0.0);
      carried_gradient[r] = entry;
    }
    return carried_gradient;
  }

  // The convergence measure: the largest entry of that one-sided gradient.
  double measure(std::span<const double> u, const Eigen::VectorXd& g) const {
    return convergence::largest_contribution(free_gradient(u, g),
                                             [](std::size_t) { return convergence::Edge::interior; });
  }

  std::size_t other(std::size_t r) const { return r < t ? r : r + 1; }
};

std::vector<std::vector<double>> profile_starts(std::size_t free) {
  const double count = static_cast<double>(free);
  std::vector<std::vector<double>> starts{std::vector<double>(free, 1.0 / count)};
  if (free == 1) {
    starts.emplace_back(1, 1.0);
  } else {
    std::vector<double> start(free, 0.1 / (count - 1.0));
    start.back() = 0.9;
    starts.push_back(std::move(start));
  }
  return starts;
}

bool usable_weights(std::span<const double> weights, std::size_t k) {
  if (weights.size() != k) return false;
  return std::all_of(weights.begin(), weights.end(), [](double w) { return std::isfinite(w) && w > 0.0; });
}

// The share-one case: every other component pinned at 0.
std::optional<double> share_one(const ComponentModel& model, const Eigen::VectorXd& y, bool reml, std::size_t t) {
  std::vector<Pin> pinned;
  for (std::size_t j = 0; j < model.k(); ++j)
    if (j != t) pinned.push_back({j, 0.0});
  const auto fit = model.fit_general(y, reml, {}, pinned);
  if (fit && fit->converged && std::isfinite(fit->loglik)) return fit->loglik;
  return std::nullopt;
}

struct Kept {
  std::vector<double> u;
  double value;
  double scaled_gradient;
};

}  // namespace

std::optional<double> profile_objective(const ComponentModel& model, const Eigen::VectorXd& y, bool reml,
                                        std::size_t t, std::span<const double> weights, double share) {
  if (t > model.m()) return std::nullopt;  // no such component: nothing, rather than a read past the end
  if (std::isnan(share) || share < 0.0 || share > 1.0) return std::nullopt;
  if (!usable_weights(weights, model.k())) return std::nullopt;
  if (share == 1.0) {
    if (const auto loglik = share_one(model, y, reml, t)) return loglik;
    share = 0.999999;
  }
  const HeldShare held{t, weights, model.sizes(), share};
  const std::size_t free = model.k() - 1;

  compat_lbfgsb::compat::LastPointMemo memo([&](std::span<const double> u) {
    return model.evaluate_with_signs(held.coefficients(u), y, reml, true, {});
  });
  const compat_lbfgsb::compat::Objective objective = [&](std::span<const double> u) {
    const auto& evaluation = memo(u);
    return evaluation ? evaluation->value : 1e30;
  };
  const compat_lbfgsb::compat::Gradient gradient = [&](std::span<const double> u) {
    const auto& evaluation = memo(u);
    return evaluation ? held.free_gradient(u, evaluation->gradient) : std::vector<double>(u.size(), 0.0);
  };
  const convergence::Evaluate measured = [&](std::span<const double> u) -> std::optional<convergence::Evaluation> {
    const auto& evaluation = memo(u);
    if (!evaluation) return std::nullopt;
    return convergence::Evaluation{evaluation->value, held.measure(u, evaluation->gradient)};
  };
  const std::vector<double> lower(free, 0.0), upper(free, infinity);

  // An empty parscale is the unit scale of the starts; a given one is a restart's.
  const auto attempt = [&](const std::vector<double>& start,
                           std::span<const double> parscale = {}) -> std::optional<Kept> {
    auto bounds = compat_lbfgsb::Bounds::create(lower, upper);
    if (!bounds) return std::nullopt;
    const auto at_start = model.evaluate_with_signs(held.coefficients(start), y, reml, false, {});
    auto control = multistart::start_controls(free, at_start ? std::optional(at_start->value) : std::nullopt,
                                              400, run_factr, 1e-9);
    const bool restart = !parscale.empty();
    if (restart) {
      // The value's stop has already ended short of a flat point: run on to the gradient's.
      control.parscale.assign(parscale.begin(), parscale.end());
      control.factr = 0.0;
    }
    // A restart keeps every point it evaluates, to fall back on the flattest when its end is not flat.
    multistart::Evaluated evaluated;
    compat_lbfgsb::compat::Objective value = objective;
    if (restart)
      value = [&](std::span<const double> u) {
        const auto at = measured(u);
        if (!at) return 1e30;
        evaluated.add(u, at->value, convergence::scaled_gradient(at->measure, at->value));
        return at->value;
      };
    auto run = compat_lbfgsb::compat::run(start, std::move(*bounds), value, gradient, std::move(control));
    if (!run) return std::nullopt;
    std::vector<double> u = std::move(run->par);
    auto end = measured(u);
    if (restart && end && !(convergence::scaled_gradient(end->measure, end->value) < converged_below))
      if (auto flattest = evaluated.flattest(run_factr)) {
        u = std::move(*flattest);
        end = measured(u);
      }
    if (!end || !std::isfinite(end->value)) return std::nullopt;
    return Kept{std::move(u), end->value, convergence::scaled_gradient(end->measure, end->value)};
  };
  std::optional<Kept> kept =
      multistart::best_of(profile_starts(free), [&](const auto& each) { return attempt(each); });
  multistart::restart_while_gaining(
      kept, [](const Kept& k) { return k.u; }, attempt,
      [](const Kept& k) { return k.scaled_gradient < converged_below; }, most_restarts,
      restart_scale_floor, run_factr, model.n());
  if (!kept) return std::nullopt;
  if (kept->scaled_gradient >= converged_below) {
    if (const auto polish = convergence::polish(kept->u, lower, upper, objective, gradient, measured, kept->value,
                                                kept->scaled_gradient)) {
      kept->value = polish->value;
      kept->scaled_gradient = polish->scaled_gradient;
    }
  }
  if (kept->scaled_gradient < converged_below) return -kept->value;
  return std::nullopt;
}

// ---- tests ---------------------------------------------------------------------------------

namespace {

// max(2 (full - null), 0), a NaN difference giving 0.
double likelihood_ratio(double full, double null) { return std::fmax(2.0 * (full - null), 0.0); }

double clamped(double p) { return std::fmin(std::fmax(p, 0.0), 1.0); }

Result<ComponentFit> converged_fit(const ComponentModel& model, const Eigen::VectorXd& y, bool reml,
                                   std::span<const std::size_t> signed_components, std::span<const Pin> pinned,
                                   std::string_view not_converged) {
  auto fit = model.fit_general(y, reml, signed_components, pinned);
  if (fit && !fit->converged) return fail(not_converged);
  return fit;
}

// Indices each below m, checked in the caller's order; then sorted without repeats.
Result<std::vector<std::size_t>> distinct_structured(std::span<const std::size_t> indices, std::size_t m) {
  for (const std::size_t j : indices)
    if (j >= m) return fail("COMPONENTS_INDEX_OUT_OF_RANGE");
  std::vector<std::size_t> distinct(indices.begin(), indices.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  return distinct;
}

// K_{c_1} + ... + K_{c_s}, added in ascending order onto a copy of the first.
block_matrix::BlockMatrix pooled(const BlockMatrices& matrices, const std::vector<std::size_t>& classes) {
  block_matrix::BlockMatrix sum = matrices[classes.front()];
  for (std::size_t i = 1; i < classes.size(); ++i) sum += matrices[classes[i]];
  return sum;
}

}  // namespace

Result<ComponentFit> refit_above_null(const ComponentModel& model, const Eigen::VectorXd& y, bool reml,
                                      std::span<const std::size_t> signed_components, ComponentFit full,
                                      double null_loglik, std::span<const double> null_point) {
  const auto from_null = [&] { return model.fit_from(y, reml, signed_components, {}, null_point); };
  return null_refit::full_above_null(std::move(full), null_loglik, from_null, "COMPONENTS_BETTER_UNRESOLVED_OPTIMUM");
}

Result<ComponentTest> component_test(const ComponentModel& model, const Eigen::VectorXd& y, std::size_t t,
                                     bool reml) {
  if (t > model.m()) return fail("COMPONENTS_NO_SUCH_COMPONENT");
  if (t == model.m()) return fail("COMPONENTS_RESIDUAL_NOT_TESTABLE");
  auto full = converged_fit(model, y, reml, {}, {}, "COMPONENTS_FIT_NOT_CONVERGED");
  if (!full) return std::unexpected(full.error());
  // Judged on each coefficient times its matrix's size, which a matrix's units do not move.
  const auto another_at_zero = [&](const ComponentFit& fit) {
    double total = 0.0;
    for (std::size_t j = 0; j < model.k(); ++j) total += fit.coefficients[j] * model.sizes()[j];
    for (std::size_t j = 0; j < model.k(); ++j)
      if (j != t && fit.coefficients[j] * model.sizes()[j] <= 1e-9 * total) return true;
    return false;
  };
  if (another_at_zero(*full)) return fail("COMPONENTS_ANOTHER_COMPONENT_AT_ZERO");

  BlockMatrices reduced = all_but(model.matrices(), t);
  double null_loglik;
  std::vector<double> null_point;  // the null's end point in the full model's coefficients
  if (reduced.empty()) {
    auto residual_only = model.residual_only_loglik(y, reml);
    if (!residual_only) return std::unexpected(residual_only.error());
    null_loglik = *residual_only;
    null_point.assign(model.k(), 0.0);
    null_point.back() = *model.residual_only_variance(y, reml);
  } else {
    auto null_model = ComponentModel::build(std::move(reduced), model.design());
    if (!null_model) return std::unexpected(null_model.error());
    auto null_fit = converged_fit(*null_model, y, reml, {}, {}, "COMPONENTS_NULL_FIT_NOT_CONVERGED");
    if (!null_fit) return std::unexpected(null_fit.error());
    null_loglik = null_fit->loglik;
    null_point = null_fit->coefficients;
    null_point.insert(null_point.begin() + static_cast<std::ptrdiff_t>(t), 0.0);
  }
  full = refit_above_null(model, y, reml, {}, std::move(*full), null_loglik, null_point);
  if (!full) return std::unexpected(full.error());
  if (another_at_zero(*full)) return fail("COMPONENTS_ANOTHER_COMPONENT_AT_ZERO");
  const double statistic = likelihood_ratio(full->loglik, null_loglik);
  return ComponentTest{statistic, deviance::p_value(statistic), "mixture_50_50", null_loglik};
}

Result<ComponentTest> equality_test(const ComponentModel& model, const Eigen::VectorXd& y,
                                    std::span<const std::size_t> components, bool reml) {
  auto distinct = distinct_structured(components, model.m());
  if (!distinct) return std::unexpected(distinct.error());
  if (distinct->size() < 2) return fail("COMPONENTS_EQUALITY_NEEDS_TWO");
  BlockMatrices null_matrices = outside(model.matrices(), *distinct);
  null_matrices.push_back(pooled(model.matrices(), *distinct));

  auto full = model.fit_general(y, reml, {}, {});
  if (!full) return std::unexpected(full.error());
  auto null_model = ComponentModel::build(std::move(null_matrices), model.design());
  if (!null_model) return std::unexpected(null_model.error());
  auto null_fit = null_model->fit_general(y, reml, {}, {});
  if (!null_fit) return std::unexpected(null_fit.error());
  if (!full->converged) return fail("COMPONENTS_FIT_NOT_CONVERGED");
  if (!null_fit->converged) return fail("COMPONENTS_NULL_FIT_NOT_CONVERGED");

  // The null's end point in the full model: every pooled component at the pooled coefficient.
  const std::size_t others = model.m() - distinct->size();
  std::vector<double> null_point;
  for (std::size_t j = 0, other = 0; j < model.m(); ++j) {
    const bool pooled_here = std::binary_search(distinct->begin(), distinct->end(), j);
    null_point.push_back(null_fit->coefficients[pooled_here ? others : other++]);
  }
  null_point.push_back(null_fit->coefficients.back());
  full = refit_above_null(model, y, reml, {}, std::move(*full), null_fit->loglik, null_point);
  if (!full) return std::unexpected(full.error());

  const double statistic = likelihood_ratio(full->loglik, null_fit->loglik);
  const double degrees = static_cast<double>(distinct->size() - 1);
  return ComponentTest{statistic, clamped(deviance::chi2_upper_tail(statistic, degrees)), "chi2_k_minus_one",
                       null_fit->loglik};
}

// ---- intervals -----------------------------------------------------------------------------

namespace {

// The profile-interval search over [0, 1] from the estimate, each refit a held-share profile
// of the standardised response.
Result<interval::ProfileInterval> share_interval(const ComponentModel& model, const Eigen::VectorXd& y,
                                                 std::size_t t, bool reml, std::span<const double> weights,
                                                 double estimate) {
  auto response = standardise(model, y);
  if (!response) return std::unexpected(response.error());
  const auto refit = [&](double share) { return profile_objective(model, response->y, reml, t, weights, share); };
  interval::ProfileInterval found = interval::profile_interval(refit, estimate, 0.0, 1.0);
  if (!found.estimate) return fail("COMPONENTS_PROFILE_MAXIMUM_FAILED");
  return found;
}

}  // namespace

Result<interval::ProfileInterval> profile_interval(const ComponentModel& model, const Eigen::VectorXd& y,
                                                   std::size_t t, bool reml) {
  if (t > model.m()) return fail("COMPONENTS_NO_SUCH_COMPONENT");
  auto fit = converged_fit(model, y, reml, {}, {}, "COMPONENTS_FIT_NOT_CONVERGED");
  if (!fit) return std::unexpected(fit.error());
  const std::vector<double> weights(model.k(), 1.0);
  return share_interval(model, y, t, reml, weights, fit->proportions[t]);
}

Result<interval::ProfileInterval> mean_diagonal_profile_interval(const ComponentModel& model,
                                                                 const Eigen::VectorXd& y, std::size_t t,
                                                                 bool reml) {
  if (t > model.m()) return fail("COMPONENTS_NO_SUCH_COMPONENT");
  std::vector<double> weights;
  for (const auto& k : model.matrices()) {
    const double mean_diagonal = k.trace() / static_cast<double>(model.n());
    if (!(std::isfinite(mean_diagonal) && mean_diagonal > 0.0))
      return fail("COMPONENTS_MEAN_DIAGONAL_PROPORTION_UNDEFINED");
    weights.push_back(mean_diagonal);
  }
  weights.push_back(1.0);
  auto fit = converged_fit(model, y, reml, {}, {}, "COMPONENTS_FIT_NOT_CONVERGED");
  if (!fit) return std::unexpected(fit.error());
  double total = 0.0;
  for (std::size_t j = 0; j < model.k(); ++j) total += fit->coefficients[j] * weights[j];
  const double estimate = fit->coefficients[t] * weights[t] / total;
  return share_interval(model, y, t, reml, weights, estimate);
}

// ---- contrasts -----------------------------------------------------------------------------

namespace {

constexpr double half_chi2_1_cut = 1.920729410347062;

// One contrast model and what every refit of it shares.
struct ContrastFit {
  const ComponentModel& model;
  const Eigen::VectorXd& y;
  bool reml;
  std::span<const std::size_t> signed_components;

  // The log-likelihood with difference j held at x, or nothing when the fit fails or does not converge.
  std::optional<double> held(std::size_t j, double x) const {
    const Pin pin{j, x};
    auto fit = model.fit_general(y, reml, signed_components, std::span<const Pin>(&pin, 1));
    if (!fit || !fit->converged) return std::nullopt;
    return fit->loglik;
  }
};

struct End {
  double at;
  bool limited;
};

// One end of difference j's interval: doubling steps out from d until the profile falls below
// the cut, then bisection. A failed refit sets `failed` and counts as not crossing.
End signed_interval(const ContrastFit& refit, std::size_t j, double d, double step, double cut, double direction,
                    bool& failed) {
  double half_width = step / 2.0, x = d, outside = d;
  bool crossed = false;
  for (int trial = 0; trial < 30 && !crossed; ++trial) {
    if (interrupt::requested()) {
      failed = true;
      return {x, true};
    }
    x = d + direction * half_width;
    const auto loglik = refit.held(j, x);
    if (!loglik) failed = true;
    crossed = loglik && *loglik < cut;
    if (crossed) outside = x;
    half_width *= 2.0;
  }
  if (!crossed) return {x, true};

  double inside = d;
  const double tolerance = step * 1e-6;
  for (int trial = 0; trial < 50; ++trial) {
    if (interrupt::requested()) {
      failed = true;
      break;
    }
    const double mid = (inside + outside) / 2.0;
    const auto loglik = refit.held(j, mid);
    if (!loglik) failed = true;
    if (!loglik || *loglik >= cut) {
      inside = mid;
    } else {
      outside = mid;
    }
    if (std::fabs(outside - inside) < tolerance) break;
  }
  return {(inside + outside) / 2.0, false};
}

// The pooled matrix, each other class minus the baseline b, then the non-class matrices.
BlockMatrices contrast_matrices(const BlockMatrices& matrices, const std::vector<std::size_t>& classes, std::size_t b,
                                const block_matrix::BlockMatrix& pool, const BlockMatrices& others) {
  BlockMatrices list{pool};
  for (const std::size_t r : classes)
    if (r != b) list.push_back(matrices[r] - matrices[b]);
  list.insert(list.end(), others.begin(), others.end());
  return list;
}

}  // namespace

Result<std::vector<Contrast>> contrasts(const ComponentModel& model, const Eigen::VectorXd& y,
                                        std::span<const std::size_t> classes, bool reml) {
  auto distinct = distinct_structured(classes, model.m());
  if (!distinct) return std::unexpected(distinct.error());
  if (distinct->size() < 2) return fail("COMPONENTS_CONTRASTS_NEED_TWO");
  const std::size_t s = distinct->size();
  const block_matrix::BlockMatrix pool = pooled(model.matrices(), *distinct);
  const BlockMatrices others = outside(model.matrices(), *distinct);
  std::vector<std::optional<Contrast>> slots(s);
  // The end searches step in the response's variance units over each matrix's size, as the
  // differences are. A response that cannot be standardised fails the first fit below.
  double variance = 0.0;
  if (auto response = standardise(model, y)) variance = response->variance;
  std::vector<std::size_t> signed_components;
  for (std::size_t j = 1; j < s; ++j) signed_components.push_back(j);

  for (std::size_t baseline = 0; baseline < s; ++baseline) {
    if (std::all_of(slots.begin(), slots.end(), [](const auto& slot) { return slot.has_value(); })) break;
    auto contrast_model =
        ComponentModel::build(contrast_matrices(model.matrices(), *distinct, (*distinct)[baseline], pool, others),
                              model.design());
    if (!contrast_model) return std::unexpected(contrast_model.error());
    auto fit = converged_fit(*contrast_model, y, reml, signed_components, {}, "COMPONENTS_FIT_NOT_CONVERGED");
    if (!fit) return std::unexpected(fit.error());
    const ContrastFit refit{*contrast_model, y, reml, signed_components};
    // The rows of this baseline, redone from the start whenever a row's null shows the free fit
    // short of its maximum and a refit from that null finds a better one (at most once per row).
    const std::vector<std::optional<Contrast>> before = slots;
    for (std::size_t restarts = 0;; ++restarts) {
      slots = before;
      const double cut = fit->loglik - half_chi2_1_cut;
      bool improved = false;
      for (std::size_t j = 1; j < s; ++j) {
        const std::size_t slot = j - 1 < baseline ? j - 1 : j;  // of rest class j among the classes
        if (slots[slot]) continue;
        const double d = fit->coefficients[j];
        const double step = std::fmax(std::fabs(d), 0.001 * variance / contrast_model->sizes()[j]);
        bool failed = false;
        const End lower = signed_interval(refit, j, d, step, cut, -1.0, failed);
        const End upper = signed_interval(refit, j, d, step, cut, 1.0, failed);
        if (failed) return fail("COMPONENTS_PROFILE_FIT_NOT_CONVERGED");
        const Pin zero{j, 0.0};
        auto null_fit = converged_fit(*contrast_model, y, reml, signed_components, std::span<const Pin>(&zero, 1),
                                      "COMPONENTS_NULL_FIT_NOT_CONVERGED");
        if (!null_fit) return std::unexpected(null_fit.error());
        auto better = refit_above_null(*contrast_model, y, reml, signed_components, *fit, null_fit->loglik,
                               null_fit->coefficients);
        if (!better) return std::unexpected(better.error());
        if (better->loglik != fit->loglik) {
          if (restarts == s) return fail("COMPONENTS_BETTER_UNRESOLVED_OPTIMUM");
          fit = std::move(better);
          improved = true;
          break;
        }
        const double statistic = likelihood_ratio(fit->loglik, null_fit->loglik);
        const double p_value = clamped(deviance::chi2_upper_tail(statistic, 1.0));
        slots[slot] = Contrast{d, lower.at, upper.at, p_value, statistic, lower.limited, upper.limited};
      }
      if (!improved) break;
    }
  }
  std::vector<Contrast> rows;
  for (const auto& slot : slots) {
    if (!slot) return fail("COMPONENTS_CONTRASTS_INCOMPLETE");
    rows.push_back(*slot);
  }
  return rows;
}

}  // namespace kestrune::components
