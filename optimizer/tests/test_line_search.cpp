// Backtracking and More-Thuente searches, the safeguarded step and trial points.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "backend/native/kernels.hpp"
#include "backend/native/line_search.hpp"

namespace {

using namespace compat_lbfgsb;
using namespace compat_lbfgsb::backend::native;
using V = std::vector<double>;
constexpr double inf = std::numeric_limits<double>::infinity();

// A problem from a value function and its gradient, recording every point.
struct RecordingProblem final : BackendProblem {
  std::function<double(const V&)> f;
  std::function<V(const V&)> grad;
  std::vector<V> points;
  std::size_t fail_at = 0;  // 1-based call that fails; 0: never

  std::expected<ValueAndGradient, OptimError> value_and_gradient(std::span<const double> x) override {
    points.emplace_back(x.begin(), x.end());
    if (points.size() == fail_at) return std::unexpected<OptimError>(error::NonFiniteValue{inf});
    return ValueAndGradient{f(points.back()), grad(points.back())};
  }
};

RecordingProblem constant_problem(double value, V gradient) {
  RecordingProblem p;
  p.f = [value](const V&) { return value; };
  p.grad = [gradient](const V&) { return gradient; };
  return p;
}

struct SearchSetup {
  V x, g, d, lower, upper;
  LineSearchContext context(double f) const {
    LineSearchContext c;
    c.x = x;
    c.f = f;
    c.g = g;
    c.d = d;
    c.lower = lower;
    c.upper = upper;
    return c;
  }
};

// ---- backtracking -----------------------------------------------------------

TEST(Backtracking, InterpolatesOnceFromAlpha0) {
  // f_t = f + 1 at alpha0 = 1 with gd = -1: den = 4, tq = 1/4, next t = 0.999/4.
  const SearchSetup s{{0}, {-1}, {1}, {-inf}, {inf}};
  RecordingProblem p;
  p.f = [](const V& x) { return x[0] == 1.0 ? 1.0 : -1.0; };
  p.grad = [](const V&) { return V{0.5}; };
  auto c = s.context(0.0);
  c.eps = 1e-14;
  EvaluationCounts counts{1, 1};
  const auto out = backtracking_search(c, p, counts);
  ASSERT_TRUE(out.has_value() && out->has_value());
  ASSERT_EQ(p.points.size(), 2u);
  EXPECT_EQ(p.points[1][0], 0.24975);
  const AcceptedStep& step = **out;
  EXPECT_EQ(step.alpha, 0.24975);
  EXPECT_EQ(step.line_search, 1u);
  EXPECT_EQ(step.f, -1.0);
  EXPECT_EQ(step.step_norm, 0.24975);
  EXPECT_EQ(step.curvature_ratio, 0.5);
  EXPECT_TRUE(step.wolfe_curv);
  EXPECT_EQ(counts, (EvaluationCounts{3, 3}));
}

TEST(Backtracking, TwentyShrinkingTrialsThenFailure) {
  struct Case {
    const char* label;
    std::size_t n, history_size;
    bool interpolates;
  };
  const Case cases[] = {{"no interpolation", 2, 1, false}, {"one interpolation", 1, 0, true}};
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.label);
    const SearchSetup s{V(tc.n, 0.0), V(tc.n, 0.0), V(tc.n, 0.0), V(tc.n, -inf), V(tc.n, inf)};
    SearchSetup t = s;
    t.g[0] = -1;
    t.d[0] = 1;
    RecordingProblem p = constant_problem(1.0, V(tc.n, 0.0));
    auto c = t.context(0.0);
    c.history_size = tc.history_size;
    c.eps = 1e-14;
    EvaluationCounts counts{1, 1};
    const auto out = backtracking_search(c, p, counts);
    ASSERT_TRUE(out.has_value());
    EXPECT_FALSE(out->has_value());
    ASSERT_EQ(p.points.size(), 20u);
    EXPECT_EQ(counts, (EvaluationCounts{21, 21}));
    double step = 1.0;
    for (std::size_t k = 0; k < 20; ++k) {
      EXPECT_EQ(p.points[k][0], step) << k;
      step = (k == 0 && tc.interpolates) ? 0.999 * 0.25 : 0.4995 * step;
    }
  }
}

TEST(Backtracking, ClampedStepsWithoutDescentCostNoEvaluation) {
  // The second coordinate clamps at -0.1; until t <= 0.2 the clamped step
  // s = (t, -0.1) has g.s = t - 0.2 >= 0 and is skipped unevaluated.
  const SearchSetup s{{0, 0}, {1, 2}, {1, -1}, {-inf, -0.1}, {inf, inf}};
  RecordingProblem p = constant_problem(-5.0, V{0, 0});
  auto c = s.context(0.0);
  c.history_size = 1;
  c.eps = 1e-14;
  EvaluationCounts counts{1, 1};
  const auto out = backtracking_search(c, p, counts);
  ASSERT_TRUE(out.has_value() && out->has_value());
  const double t = 0.4995 * 0.4995 * 0.4995;
  EXPECT_EQ((*out)->alpha, t);
  EXPECT_EQ((*out)->line_search, 0u);
  EXPECT_EQ(p.points, (std::vector<V>{{t, -0.1}}));
  EXPECT_EQ(counts, (EvaluationCounts{2, 2}));

  // Clamped into a face the whole way: twenty free trials, then failure.
  const SearchSetup face{{0, 0}, {1, 2}, {1, -1}, {-inf, 0}, {inf, inf}};
  RecordingProblem q = constant_problem(-5.0, V{0, 0});
  auto cf = face.context(0.0);
  cf.history_size = 1;
  EvaluationCounts unchanged{1, 1};
  const auto failed = backtracking_search(cf, q, unchanged);
  ASSERT_TRUE(failed.has_value());
  EXPECT_FALSE(failed->has_value());
  EXPECT_TRUE(q.points.empty());
  EXPECT_EQ(unchanged, (EvaluationCounts{1, 1}));
}

TEST(LineSearches, UnusableFirstStepFailsWithoutEvaluating) {
  const SearchSetup s{{0, 0}, {-1, -1}, {1, 1}, {-inf, -inf}, {inf, inf}};
  for (const double alpha0 : {0.0, -1.0, inf, std::nan("")}) {
    SCOPED_TRACE(alpha0);
    RecordingProblem p = constant_problem(-1.0, V{0, 0});
    auto c = s.context(0.0);
    c.alpha0 = alpha0;
    EvaluationCounts counts{4, 4};
    const auto bt = backtracking_search(c, p, counts);
    const auto mt = more_thuente_search(c, p, counts);
    ASSERT_TRUE(bt.has_value() && mt.has_value());
    EXPECT_FALSE(bt->has_value());
    EXPECT_FALSE(mt->has_value());
    EXPECT_TRUE(p.points.empty());
    EXPECT_EQ(counts, (EvaluationCounts{4, 4}));
  }
  // More-Thuente refuses an ascent or NaN slope.
  for (const double g0 : {1.0, std::nan("")}) {
    const SearchSetup up{{0}, {g0}, {1}, {-inf}, {inf}};
    RecordingProblem p = constant_problem(-1.0, V{0});
    EvaluationCounts counts{1, 1};
    const auto mt = more_thuente_search(up.context(0.0), p, counts);
    EXPECT_FALSE(mt->has_value());
    EXPECT_TRUE(p.points.empty());
  }
}

TEST(LineSearches, EvaluationErrorEndsSearchKeepingEarlierCounts) {
  const SearchSetup s{{0}, {-1}, {1}, {-inf}, {inf}};
  RecordingProblem p = constant_problem(1.0, V{0});
  p.fail_at = 3;
  auto c = s.context(0.0);
  c.history_size = 1;
  EvaluationCounts counts{1, 1};
  const auto out = backtracking_search(c, p, counts);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(std::get<error::NonFiniteValue>(out.error()).value, inf);
  EXPECT_EQ(counts, (EvaluationCounts{3, 3}));
}

// ---- More-Thuente -------------------------------------------------------------

TEST(MoreThuente, AcceptsNewtonStepOnQuadratic) {
  // f = 1/2 |x - c|^2 from 0 along d = c: the first trial is the minimiser.
  const V center{1, 2};
  const SearchSetup s{{0, 0}, {-1, -2}, {1, 2}, {-inf, -inf}, {inf, inf}};
  RecordingProblem p;
  p.f = [&](const V& x) { return 0.5 * ((x[0] - 1) * (x[0] - 1) + (x[1] - 2) * (x[1] - 2)); };
  p.grad = [&](const V& x) { return V{x[0] - 1, x[1] - 2}; };
  auto c = s.context(2.5);
  c.max_alpha = 10.0;
  EvaluationCounts counts{1, 1};
  const auto out = more_thuente_search(c, p, counts);
  ASSERT_TRUE(out.has_value() && out->has_value());
  const AcceptedStep& step = **out;
  EXPECT_EQ(step.x, center);
  EXPECT_EQ(step.f, 0.0);
  EXPECT_EQ(step.line_search, 0u);
  EXPECT_EQ(step.alpha, 1.0);
  EXPECT_EQ(step.max_alpha, 10.0);
  EXPECT_EQ(step.step_norm, std::sqrt(5.0));
  EXPECT_EQ(step.curvature_ratio, 0.0);
  EXPECT_TRUE(step.wolfe_curv);
  EXPECT_EQ(counts, (EvaluationCounts{2, 2}));
}

TEST(MoreThuente, ExtrapolatesToMaxAlphaOnLinearDescent) {
  // f = -x: trials at 1, then 1 + 4*1 = 5, then min(5 + 4*4, 10) = 10 =
  // max_alpha, accepted there without the curvature condition.
  const SearchSetup s{{0}, {-1}, {1}, {-inf}, {inf}};
  RecordingProblem p;
  p.f = [](const V& x) { return -x[0]; };
  p.grad = [](const V&) { return V{-1}; };
  auto c = s.context(0.0);
  c.max_alpha = 10.0;
  EvaluationCounts counts{1, 1};
  const auto out = more_thuente_search(c, p, counts);
  ASSERT_TRUE(out.has_value() && out->has_value());
  EXPECT_EQ(p.points, (std::vector<V>{{1}, {5}, {10}}));
  EXPECT_EQ((*out)->alpha, 10.0);
  EXPECT_EQ((*out)->line_search, 2u);
  EXPECT_EQ((*out)->curvature_ratio, 1.0);
  EXPECT_FALSE((*out)->wolfe_curv);
}

TEST(MoreThuente, BracketsAndConvergesOnQuartic) {
  // f = (x - 3)^4 along d = 10 from 0: the first trial overshoots to 10, and
  // the accepted step satisfies both Wolfe conditions with the search's constants.
  const SearchSetup s{{0}, {-108}, {10}, {-inf}, {inf}};
  RecordingProblem p;
  p.f = [](const V& x) { return std::pow(x[0] - 3, 4); };
  p.grad = [](const V& x) { return V{4 * std::pow(x[0] - 3, 3)}; };
  auto c = s.context(81.0);
  EvaluationCounts counts{1, 1};
  const auto out = more_thuente_search(c, p, counts);
  ASSERT_TRUE(out.has_value() && out->has_value());
  const AcceptedStep& step = **out;
  EXPECT_EQ(p.points[0], V{10});
  EXPECT_GT(step.line_search, 0u);
  EXPECT_LT(step.alpha, 1.0);
  EXPECT_LE(step.f, 81.0 + 1e-3 * -1080 * step.alpha);
  EXPECT_LE(std::fabs(step.gradient[0] * 10), 0.9 * 1080);
  EXPECT_TRUE(step.wolfe_curv);
  EXPECT_EQ(counts.first, step.line_search + 2);
}

TEST(MoreThuente, NarrowBracketAcceptance) {
  // f = -0.01 t has sufficient decrease everywhere, but the reported slope has
  // magnitude 100 and flips sign at 0.5: the curvature test never passes.
  // The first trial (t = 1) becomes stx and every later one sty, so the
  // bracket closes on 1. A compact search, once it is narrow, re-tries stx
  // itself and accepts there; a refreshed one accepts as soon as the bracket is
  // within half its upper end; a plain one spends its twenty trials.
  struct Case {
    const char* label;
    bool compact, refreshed;
    std::size_t evaluations;
    double alpha;  // 0: the search fails
  };
  const Case cases[] = {{"compact", true, false, 6, 1.0},
                        {"refreshed", false, true, 4, -1.0},
                        {"plain", false, false, 20, 0.0}};
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.label);
    const SearchSetup s{{0}, {-1}, {1}, {-inf}, {inf}};
    RecordingProblem p;
    p.f = [](const V& x) { return -0.01 * x[0]; };
    p.grad = [](const V& x) { return V{x[0] > 0.5 ? 100.0 : -100.0}; };
    auto c = s.context(0.0);
    c.compact = tc.compact;
    c.refreshed = tc.refreshed;
    EvaluationCounts counts{1, 1};
    const auto out = more_thuente_search(c, p, counts);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(p.points.size(), tc.evaluations);
    ASSERT_EQ(out->has_value(), tc.alpha != 0.0);
    if (!out->has_value()) continue;
    const AcceptedStep& step = **out;
    EXPECT_FALSE(step.wolfe_curv);
    EXPECT_EQ(step.curvature_ratio, 100.0);
    EXPECT_EQ(step.alpha, tc.alpha > 0 ? tc.alpha : p.points.back()[0]);
    EXPECT_GT(step.alpha, 0.5);
  }
}

// ---- more_thuente_step ----------------------------------------------------------

TEST(MoreThuenteStep, CasesOnExactQuadratic) {
  // f(t) = (t - 0.3)^2: the cubic and the secant/quadratic steps all find 0.3.
  auto f = [](double t) { return (t - 0.3) * (t - 0.3); };
  auto df = [](double t) { return 2 * (t - 0.3); };
  struct Case {
    const char* label;
    double stx, stp;
    bool brackt_after;
    double new_stx, new_sty;
  };
  const Case cases[] = {
      {"case 1 higher value", 0.0, 1.0, true, 0.0, 1.0},
      {"case 2 sign change", 0.0, 0.5, true, 0.5, 0.0},
      {"case 3 decreasing slope", 0.0, 0.1, false, 0.1, 0.0},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.label);
    MoreThuenteBracket b{tc.stx, f(tc.stx), df(tc.stx), 0.0, f(0.0), df(0.0), false};
    const double next = more_thuente_step(b, {tc.stp, f(tc.stp), df(tc.stp)}, 0.0, 1.0);
    EXPECT_NEAR(next, 0.3, 1e-15);
    EXPECT_EQ(b.brackt, tc.brackt_after);
    EXPECT_EQ(b.stx, tc.new_stx);
    EXPECT_EQ(b.sty, tc.new_sty);
  }
}

TEST(MoreThuenteStep, GuardsAndFallbacks) {
  // A trial at stx itself changes nothing.
  MoreThuenteBracket b{0.5, 1.0, -1.0, 2.0, 3.0, 4.0, true};
  EXPECT_EQ(more_thuente_step(b, {0.5, 7.0, 7.0}, 0.0, 9.0), 0.5);
  EXPECT_EQ(b.fx, 1.0);
  EXPECT_EQ(b.sty, 2.0);

  // Case 1 with an infinite value: neither cubic nor quadratic is usable, so
  // stp itself, then the 0.66 safeguard of the new bracket [0, 1].
  MoreThuenteBracket c1{0.0, 0.0, -1.0, 0.0, 0.0, -1.0, false};
  EXPECT_EQ(more_thuente_step(c1, {1.0, inf, -1.0}, 0.0, 1.0), 0.66);
  EXPECT_TRUE(c1.brackt);
  EXPECT_EQ(c1.sty, 1.0);
  EXPECT_EQ(c1.fy, inf);

  // Case 3 with neither cubic nor secant usable: the step limit on stp's side.
  MoreThuenteBracket c3{0.0, 0.0, -inf, 0.0, 0.0, -inf, false};
  EXPECT_EQ(more_thuente_step(c3, {1.0, -1.0, -1.0}, 0.25, 5.0), 5.0);
  EXPECT_EQ(c3.stx, 1.0);

  // Case 4 unbracketed: the limit on stp's side.
  MoreThuenteBracket up{0.0, 0.0, -1.0, 0.0, 0.0, -1.0, false};
  EXPECT_EQ(more_thuente_step(up, {1.0, -1.0, -1.0}, 0.0, 5.0), 5.0);
  MoreThuenteBracket down{2.0, 0.0, -1.0, 2.0, 0.0, -1.0, false};
  EXPECT_EQ(more_thuente_step(down, {1.0, -1.0, -1.0}, 0.5, 5.0), 0.5);

  // Case 4 bracketed with an unusable cubic: the midpoint of stp and sty.
  MoreThuenteBracket mid{0.0, 0.0, -1.0, 4.0, inf, 1.0, true};
  EXPECT_EQ(more_thuente_step(mid, {2.0, -1.0, -1.0}, 0.0, 4.0), 3.0);
}

// ---- trial points ---------------------------------------------------------------

TEST(LineSearchCandidate, FullStepPointCompactAndClamped) {
  const V x{0, 0}, d{2, -2}, lower{-1, -1}, upper{1, 1}, full{0.75, -0.25};
  LineSearchContext c;
  c.x = x;
  c.d = d;
  c.lower = lower;
  c.upper = upper;
  EXPECT_EQ(line_search_candidate(c, 1.0), (V{1, -1}));
  c.full_step_point = std::span<const double>(full);
  EXPECT_EQ(line_search_candidate(c, 1.0), full);
  EXPECT_EQ(line_search_candidate(c, 0.25), (V{0.5, -0.5}));
  c.compact = true;
  EXPECT_EQ(line_search_candidate(c, 2.0), (V{4, -4}));
}

}  // namespace
