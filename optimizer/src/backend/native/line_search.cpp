#include "backend/native/line_search.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "backend/native/kernels.hpp"

namespace compat_lbfgsb::backend::native {
namespace {

constexpr double MIN_POSITIVE = 0x1p-1022;
constexpr double SHRINK = 0.4995;
constexpr std::size_t MAX_TRIALS = 20;

bool positive_finite(double v) { return std::isfinite(v) && v > 0.0; }

// num / den when den is finite and nonzero and the quotient finite.
std::optional<double> safe_quotient(double num, double den) {
  if (!std::isfinite(den) || den == 0.0) return std::nullopt;
  const double q = num / den;
  if (!std::isfinite(q)) return std::nullopt;
  return q;
}

// |g_t.d| over the predicted slope, floored so a zero slope cannot divide by zero.
double curvature_ratio(double gtd, double gd) { return std::fabs(gtd) / std::fmax(-gd, MIN_POSITIVE); }

// A trial point with its step from x.
struct Trial {
  std::vector<double> xt;
  std::vector<double> s;
};

Trial make_trial(const LineSearchContext& context, double t) {
  Trial trial{line_search_candidate(context, t), {}};
  trial.s = difference(trial.xt, context.x);
  return trial;
}

AcceptedStep accept(const LineSearchContext& context, Trial trial, ValueAndGradient at, std::size_t evaluations,
                    double alpha, double ratio, bool wolfe_curv) {
  const double step_norm = norm2(trial.s);
  return AcceptedStep{std::move(trial.xt), std::move(at.gradient), at.value, evaluations - 1, alpha,
                      context.max_alpha, step_norm, ratio, wolfe_curv};
}

// The cubic of the classic step through (st, fst, dst) and the trial: theta
// and g = s*sqrt(max(disc, 0)), or nothing when its scale or discriminant is
// not usable.
struct Cubic {
  double theta;
  double g;
};

std::optional<Cubic> cubic_pieces(double st, double fst, double dst, double stp, double fp, double dp) {
  const double a = stp - st;
  const double theta = dp + (dst + ((fst - fp) * 3.0) / a);
  const double s = std::fmax(std::fmax(std::fabs(theta), std::fabs(dst)), std::fabs(dp));
  if (s == 0.0 || !std::isfinite(s)) return std::nullopt;
  const double ts = theta / s;
  const double disc = ts * ts - (dst / s) * (dp / s);
  if (!std::isfinite(disc)) return std::nullopt;
  return Cubic{theta, s * std::sqrt(std::fmax(disc, 0.0))};
}

// The secant step from stp towards stx, or nothing.
std::optional<double> secant_step(double stp, double stx, double dp, double dx) {
  const auto ratio = safe_quotient(dp, dp - dx);
  if (!ratio) return std::nullopt;
  return stp + (stx - stp) * *ratio;
}

// Case 1: higher value; the minimiser is bracketed.
double case_higher_value(MoreThuenteBracket& b, const MoreThuenteTrial& t) {
  const double a = t.stp - b.stx;
  double stpc = t.stp;
  if (const auto cubic = cubic_pieces(b.stx, b.fx, b.dx, t.stp, t.fp, t.dp)) {
    const double gamma = a < 0.0 ? -cubic->g : cubic->g;
    const double q = t.dp + (gamma + (gamma - b.dx));
    if (const auto r = safe_quotient(cubic->theta + (gamma - b.dx), q)) stpc = b.stx + a * *r;
  }
  double stpq = stpc;
  if (const auto slope = safe_quotient(b.fx - t.fp, a)) {
    const double c = b.dx + *slope;
    if (const auto h = safe_quotient(b.dx * 0.5, c)) stpq = b.stx + a * *h;
  }
  const double stpf =
      std::fabs(stpc - b.stx) < std::fabs(stpq - b.stx) ? stpc : stpc + (stpq - stpc) * 0.5;
  b.brackt = true;
  b.sty = t.stp;
  b.fy = t.fp;
  b.dy = t.dp;
  return stpf;
}

// Case 2: lower value, derivatives of opposite sign; bracketed.
double case_sign_change(MoreThuenteBracket& b, const MoreThuenteTrial& t) {
  const double a = t.stp - b.stx;
  double stpc = t.stp;
  if (const auto cubic = cubic_pieces(b.stx, b.fx, b.dx, t.stp, t.fp, t.dp)) {
    const double gamma = a < 0.0 ? cubic->g : -cubic->g;
    const double q = b.dx + ((gamma - t.dp) + gamma);
    if (const auto r = safe_quotient(cubic->theta + (gamma - t.dp), q)) stpc = t.stp + (b.stx - t.stp) * *r;
  }
  const double stpq = secant_step(t.stp, b.stx, t.dp, b.dx).value_or(stpc);
  const double stpf = std::fabs(stpc - t.stp) > std::fabs(stpq - t.stp) ? stpc : stpq;
  b.brackt = true;
  b.sty = b.stx;
  b.fy = b.fx;
  b.dy = b.dx;
  b.stx = t.stp;
  b.fx = t.fp;
  b.dx = t.dp;
  return stpf;
}

// Case 3: lower value, same sign, derivative magnitude decreasing.
double case_decreasing_slope(MoreThuenteBracket& b, const MoreThuenteTrial& t, double stpmin, double stpmax) {
  const double a = t.stp - b.stx;
  std::optional<double> stpc;
  if (const auto cubic = cubic_pieces(b.stx, b.fx, b.dx, t.stp, t.fp, t.dp)) {
    const double gamma = a < 0.0 ? cubic->g : -cubic->g;
    const double q = ((b.dx - t.dp) + gamma) + gamma;
    const auto r = safe_quotient(cubic->theta + (gamma - t.dp), q);
    // Only a cubic whose minimum lies beyond stp, away from stx, is usable.
    if (r && *r < 0.0 && cubic->g != 0.0) stpc = t.stp + (b.stx - t.stp) * *r;
  }
  double stpf;
  if (const auto stpq = secant_step(t.stp, b.stx, t.dp, b.dx)) {
    if (stpc) {
      const double dc = std::fabs(*stpc - t.stp);
      const double dq = std::fabs(*stpq - t.stp);
      stpf = (b.brackt ? dc < dq : dc > dq) ? *stpc : *stpq;
    } else {
      stpf = *stpq;
    }
  } else {
    stpf = stpc ? *stpc : (t.stp > b.stx ? stpmax : stpmin);
  }
  b.stx = t.stp;
  b.fx = t.fp;
  b.dx = t.dp;
  return stpf;
}

// Case 4: lower value, same sign, derivative not decreasing in magnitude.
double case_steep_slope(MoreThuenteBracket& b, const MoreThuenteTrial& t, double stpmin, double stpmax) {
  double stpf;
  if (b.brackt) {
    stpf = (t.stp + b.sty) * 0.5;
    if (const auto cubic = cubic_pieces(b.sty, b.fy, b.dy, t.stp, t.fp, t.dp)) {
      const double a4 = t.stp - b.sty;
      const double gamma = a4 < 0.0 ? cubic->g : -cubic->g;
      const double q = b.dy + ((gamma - t.dp) + gamma);
      if (const auto r = safe_quotient(cubic->theta + (gamma - t.dp), q)) stpf = t.stp + (b.sty - t.stp) * *r;
    }
  } else {
    stpf = t.stp > b.stx ? stpmax : stpmin;
  }
  b.stx = t.stp;
  b.fx = t.fp;
  b.dx = t.dp;
  return stpf;
}

std::optional<AcceptedStep> none() { return std::nullopt; }

constexpr double MT_FTOL = 1e-3;
constexpr double MT_CURVATURE = 0.9;

// The trial point at stp, counting it against the budget of twenty. Outside
// the compact path a move no larger than eps is not worth an evaluation:
// unbracketed, the step shrinks (never below eps); bracketed, the bracket's
// midpoint replaces it at the cost of two trials. Nothing when the budget runs
// out first.
std::optional<Trial> more_thuente_trial(const LineSearchContext& context, const MoreThuenteBracket& bracket,
                                        double& stp, std::size_t& trials) {
  Trial trial = make_trial(context, stp);
  if (context.compact) {
    ++trials;
    return trial;
  }
  if (bracket.brackt) {
    if (norm_inf(trial.s) > context.eps) {
      ++trials;
      return trial;
    }
    if (trials > 18) return std::nullopt;
    stp = (bracket.sty + bracket.stx) * 0.5;
    trials += 2;
    trial = make_trial(context, stp);
    // Making the same midpoint again cannot enlarge it: the budget would run
    // out without an evaluation.
    if (norm_inf(trial.s) <= context.eps) return std::nullopt;
    return trial;
  }
  ++trials;
  while (norm_inf(trial.s) <= context.eps) {
    stp = std::fmax(SHRINK * stp, context.eps);
    if (++trials >= 21) return std::nullopt;
    trial = make_trial(context, stp);
  }
  return trial;
}

// A bracket narrow relative to its upper end (0.1 in compact searches, 0.5
// in a refreshed one): a trial with sufficient decrease is good enough.
bool narrow_enough(const LineSearchContext& context, const MoreThuenteBracket& bracket) {
  const double m = std::fmax(bracket.stx, bracket.sty);
  const double w = std::fabs(bracket.sty - bracket.stx);
  return m > 0.0 && ((context.compact && w <= 0.1 * m) || (context.refreshed && w <= 0.5 * m));
}

struct StepLimits {
  double min;
  double max;
};

// The bracket itself once bracketed; before that, up to four times stp's
// distance from stx beyond stp, inside [0, max_alpha].
StepLimits step_limits(const MoreThuenteBracket& bracket, double stp, double max_alpha) {
  if (bracket.brackt) {
    return {std::fmin(bracket.stx, bracket.sty), std::fmax(bracket.stx, bracket.sty)};
  }
  const double e = stp + 4.0 * (stp - bracket.stx);
  if (stp >= bracket.stx) return {0.0, std::fmin(e, max_alpha)};
  return {std::fmax(e, 0.0), max_alpha};
}

// The step on the modified function psi(t) = f(t) - gtest*t, which has a
// minimiser where f has sufficient decrease; the bracket's values and slopes
// are mapped to psi and back around it.
double modified_step(MoreThuenteBracket& bracket, const MoreThuenteTrial& trial, double gtest, double stmin,
                     double stmax) {
  MoreThuenteBracket modified{bracket.stx, bracket.fx - gtest * bracket.stx, bracket.dx - gtest,
                              bracket.sty, bracket.fy - gtest * bracket.sty, bracket.dy - gtest,
                              bracket.brackt};
  const double stp = more_thuente_step(
      modified, MoreThuenteTrial{trial.stp, trial.fp - gtest * trial.stp, trial.dp - gtest}, stmin, stmax);
  bracket.stx = modified.stx;
  bracket.sty = modified.sty;
  bracket.brackt = modified.brackt;
  bracket.fx = modified.fx + gtest * bracket.stx;
  bracket.dx = gtest + modified.dx;
  bracket.fy = modified.fy + gtest * bracket.sty;
  bracket.dy = gtest + modified.dy;
  return stp;
}

// Bisect when the bracket has not shrunk enough over two steps; a compact or
// refreshed search retries stx itself once the bracket is narrow.
void keep_bracket_shrinking(const LineSearchContext& context, const MoreThuenteBracket& bracket, double& stp,
                            double& width, double& width1) {
  const double interval = std::fabs(bracket.sty - bracket.stx);
  if (interval >= 0.66 * width1) stp = bracket.stx + (bracket.sty - bracket.stx) * 0.5;
  if (context.compact || context.refreshed) {
    const double m = std::fmax(bracket.stx, bracket.sty);
    if (interval <= 0.1 * m && m > 0.0) stp = bracket.stx;
  }
  width1 = width;
  width = interval;
}

}  // namespace

std::vector<double> line_search_candidate(const LineSearchContext& context, double t) {
  if (t == 1.0 && context.full_step_point) {
    return std::vector<double>(context.full_step_point->begin(), context.full_step_point->end());
  }
  if (context.compact) {
    const std::size_t n = std::min(context.x.size(), context.d.size());
    std::vector<double> xt(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double p = t * context.d[i];
      xt[i] = context.x[i] + p;
    }
    return xt;
  }
  return bounded_step(context.x, context.d, context.lower, context.upper, t);
}

double more_thuente_step(MoreThuenteBracket& bracket, const MoreThuenteTrial& trial, double stpmin,
                         double stpmax) {
  if (trial.stp - bracket.stx == 0.0) return trial.stp;
  double stpf;
  bool bound = false;
  if (trial.fp > bracket.fx) {
    stpf = case_higher_value(bracket, trial);
    bound = true;
  } else if ((bracket.dx / std::fabs(bracket.dx)) * trial.dp < 0.0) {
    stpf = case_sign_change(bracket, trial);
  } else if (std::fabs(trial.dp) < std::fabs(bracket.dx)) {
    stpf = case_decreasing_slope(bracket, trial, stpmin, stpmax);
    bound = true;
  } else {
    stpf = case_steep_slope(bracket, trial, stpmin, stpmax);
  }
  double v = stpf < stpmin ? stpmin : stpf;
  v = v > stpmax ? stpmax : v;
  if (bound && bracket.brackt) {
    // Keep the next trial well inside the bracket so it shrinks steadily.
    const double b = bracket.stx + (bracket.sty - bracket.stx) * 0.66;
    v = bracket.sty > bracket.stx ? std::fmin(v, b) : std::fmax(v, b);
  }
  return std::isfinite(v) ? v : (stpmin + stpmax) * 0.5;
}

LineSearchOutcome backtracking_search(const LineSearchContext& context, BackendProblem& problem,
                                      EvaluationCounts& counts) {
  const double alpha0 = context.alpha0;
  if (!positive_finite(alpha0)) return none();
  const double gd = compatibility_dot(context.compact, context.g, context.d);
  const double factor = alpha0 < 1.0 ? 1.0 : context.interpolation_factor;
  const bool may_interpolate = (alpha0 >= 0.1 && context.history_size == 0) || context.x.size() == 1;
  bool interpolated = false;
  std::size_t evaluations = 0;
  double t = alpha0;
  for (std::size_t trial_index = 0; trial_index < MAX_TRIALS; ++trial_index) {
    Trial trial = make_trial(context, t);
    if (norm_inf(trial.s) <= context.eps) {
      t = SHRINK * t;
      continue;
    }
    // The slope along the clamped step, which may differ from d's.
    const double gs = compatibility_dot(context.compact, context.g, trial.s);
    if (!(gs < 0.0)) {
      t = SHRINK * t;
      continue;
    }
    auto at = evaluate(problem, trial.xt, counts);
    if (!at) return std::unexpected(std::move(at.error()));
    ++evaluations;
    const double decrease = gs * 1e-4;
    if (at->value <= context.f + decrease) {
      const double ratio = curvature_ratio(compatibility_dot(context.compact, at->gradient, context.d), gd);
      return accept(context, std::move(trial), std::move(*at), evaluations, t, ratio, ratio <= 0.9);
    }
    if (may_interpolate && !interpolated) {
      interpolated = true;
      // Minimiser of the quadratic through f, the slope alpha0*gd and f_t,
      // built on alpha0 even when this trial was at a smaller step.
      const double q = (at->value - context.f) - alpha0 * gd;
      const double den = q + q;
      if (positive_finite(den)) {
        const double tq = (alpha0 * (-(gd * alpha0))) / den;
        if (positive_finite(tq) && tq < alpha0) {
          t = factor * tq;
          continue;
        }
      }
    }
    t = SHRINK * t;
  }
  return none();
}

LineSearchOutcome more_thuente_search(const LineSearchContext& context, BackendProblem& problem,
                                      EvaluationCounts& counts) {
  const double gd = compatibility_dot(context.compact, context.g, context.d);
  // A NaN slope is no descent direction: trials along it would only feed NaN
  // points to the objective.
  if (!(context.alpha0 > 0.0) || !std::isfinite(context.alpha0) || !(gd < 0.0)) return none();

  const double f = context.f;
  const double max_alpha = context.max_alpha;
  const double gtest = gd * MT_FTOL;
  double stp = context.alpha0;
  MoreThuenteBracket bracket{0.0, f, gd, 0.0, f, gd, false};
  bool stage1 = true;
  double width = max_alpha;
  double width1 = 2.0 * max_alpha;
  std::size_t trials = 0;
  std::size_t evaluations = 0;

  for (;;) {
    auto trial = more_thuente_trial(context, bracket, stp, trials);
    if (!trial) return none();
    auto at = evaluate(problem, trial->xt, counts);
    if (!at) return std::unexpected(std::move(at.error()));
    ++evaluations;
    const double fp = at->value;
    const double gp = compatibility_dot(context.compact, at->gradient, context.d);
    const double ftest = f + gtest * stp;
    const double ratio = curvature_ratio(gp, gd);

    const bool sufficient = fp <= ftest;
    if (sufficient && ratio <= MT_CURVATURE) {
      return accept(context, std::move(*trial), std::move(*at), evaluations, stp, ratio, true);
    }
    if (sufficient && stp == max_alpha && gp <= gtest) {
      return accept(context, std::move(*trial), std::move(*at), evaluations, stp, ratio, false);
    }
    if (sufficient && bracket.brackt && narrow_enough(context, bracket)) {
      return accept(context, std::move(*trial), std::move(*at), evaluations, stp, ratio, false);
    }
    if (sufficient && gp >= 0.0) stage1 = false;

    const auto [stmin, stmax] = step_limits(bracket, stp, max_alpha);
    const MoreThuenteTrial tried{stp, fp, gp};
    stp = stage1 && fp <= bracket.fx && fp > ftest ? modified_step(bracket, tried, gtest, stmin, stmax)
                                                   : more_thuente_step(bracket, tried, stmin, stmax);
    if (stp < 0.0) stp = 0.0;
    if (stp > max_alpha) stp = max_alpha;
    if (bracket.brackt) keep_bracket_shrinking(context, bracket, stp, width, width1);

    if (!positive_finite(stp)) return none();
    if (trials >= MAX_TRIALS) return none();
  }
}

}  // namespace compat_lbfgsb::backend::native
