// Normal numerics against values from scipy (log_ndtr, ndtri, quadrature of the bivariate
// density), and every code of the routines.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string_view>

#include "latent_mediation/normal.hpp"

namespace lm = kestrune::latent_mediation;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

template <class T>
std::string_view code_of(const kestrune::Result<T>& result) {
  return result ? std::string_view("ok") : result.error().code;
}

void expect_relative(double actual, double expected, double tolerance) {
  EXPECT_LE(std::fabs(actual - expected), tolerance * std::fmax(std::fabs(expected), 1e-300))
      << actual << " vs " << expected;
}

TEST(LatentNormal, LogUpperTailMatchesLogNdtrAcrossTheTails) {
  const double table[][2] = {
      {-3.0, -0.0013508099647481925}, {-1.0, -0.1727537790234499},
      {0.0, -0.6931471805599453},     {0.5, -1.1759117615936188},     {1.0, -1.8410216450092634},
      {3.0, -6.60772622151035},       {5.9, -20.12579958020318},      {6.0, -20.73676894997471},
      {6.1, -21.357498419215563},     {8.0, -35.01343715991456},      {10.0, -53.23128515051248},
      {20.0, -203.9171553710973},     {38.0, -726.5572160188201},     {50.0, -1254.8313611394199},
      {100.0, -5005.524208694205},
  };
  for (const auto& [x, expected] : table) {
    SCOPED_TRACE(x);
    expect_relative(lm::log_normal_sf(x), expected, 1e-12);
  }
  EXPECT_EQ(lm::log_normal_sf(-inf), 0.0);
  EXPECT_EQ(lm::log_normal_sf(inf), -inf);
}

TEST(LatentNormal, LogIntervalProbabilityMatchesScipyOnEitherSideOfZero) {
  const double table[][3] = {
      {-1.0, 2.0, -0.20016629432446262}, {0.5, 3.0, -1.1802965106326773},  {8.0, inf, -35.01343715991456},
      {-inf, -8.0, -35.01343715991456},  {2.0, 2.5, -4.101945378031024},   {-3.0, -2.0, -3.844353426334205},
      {5.0, 5.0001, -22.62952889643003}, {30.0, 31.0, -454.3212439563433}, {-0.1, 0.1, -2.5300420015472382},
      {-inf, 1.5, -0.069143455612234},
  };
  for (const auto& [lo, hi, expected] : table) {
    SCOPED_TRACE(testing::Message() << lo << ", " << hi);
    expect_relative(*lm::log_interval_probability(lo, hi), expected, 1e-12);
  }
  EXPECT_NEAR(*lm::interval_probability(8.0, inf), std::exp(-35.01343715991456), 1e-28);
  EXPECT_EQ(*lm::log_interval_probability(1.0, 1.0), -inf);
  EXPECT_EQ(*lm::interval_probability(2.0, 1.0), 0.0);
}

TEST(LatentNormal, InverseTailMatchesNdtriAndTheDeepTail) {
  const double table[][2] = {
      {-0.6931471805599453, 0.0},  {-1.2039728043259361, 0.5244005127080409}, {-4.605170185988091, 2.3263478740408408},
      {-10.0, 3.913946240531893},  {-100.0, 13.888476033003888},              {-699.0, 37.26827606207496},
  };
  for (const auto& [t, expected] : table) {
    SCOPED_TRACE(t);
    const double x = *lm::inverse_log_normal_sf(t);
    EXPECT_NEAR(x, expected, 1e-12 * std::fmax(expected, 1.0));
  }
  const double deep = *lm::inverse_log_normal_sf(-1000.0);
  expect_relative(deep, 44.6157477319694, 1e-12);
  expect_relative(lm::log_normal_sf(deep), -1000.0, 1e-12);
  EXPECT_EQ(*lm::inverse_log_normal_sf(-inf), inf);
}

TEST(LatentNormal, TruncatedQuantileStaysInsideAndIncreases) {
  const double intervals[][2] = {{10.0, 11.0}, {-11.0, -10.0}, {-1.0, 2.0}, {-inf, -30.0}, {0.0, inf}};
  for (const auto& [lo, hi] : intervals) {
    SCOPED_TRACE(testing::Message() << lo << ", " << hi);
    double previous = -inf;
    for (const double u : {1e-9, 0.1, 0.5, 0.9, 1.0 - 1e-9}) {
      const double x = *lm::truncated_standard_normal(lo, hi, u);
      EXPECT_GT(x, lo);
      EXPECT_LT(x, hi);
      EXPECT_GT(x, previous);
      previous = x;
    }
  }
  // The quantile inverts the truncated cdf: P(lo < Z < x) = u P(lo < Z < hi).
  const double x = *lm::truncated_standard_normal(-1.0, 2.0, 0.3);
  EXPECT_NEAR(*lm::interval_probability(-1.0, x), 0.3 * *lm::interval_probability(-1.0, 2.0), 1e-14);
}

TEST(LatentNormal, BivariateCdfMatchesQuadratureOfTheDensity) {
  const double table[][4] = {
      {0.0, 0.0, 0.5, 1.0 / 3.0},          {1.0, -0.5, 0.3, 0.28313842024448094},
      {-1.0, 2.0, -0.7, 0.14021985419403973}, {2.0, 2.0, 0.95, 0.9705242198079082},
      {-2.0, -1.5, 0.6, 0.010505703476735932}, {0.3, 0.7, -0.2, 0.44502012179044104},
      {-3.0, -3.0, 0.8, 0.0003720923962678164}, {1.5, 0.2, 0.001, 0.5406116439400995},
      {0.0, 0.0, -0.5, 1.0 / 6.0},
  };
  for (const auto& [h, k, rho, expected] : table) {
    SCOPED_TRACE(testing::Message() << h << ", " << k << ", " << rho);
    EXPECT_NEAR(*lm::bivariate_normal_cdf({h, k}, rho), expected, 1e-12);
  }
  EXPECT_NEAR(*lm::bivariate_normal_cdf({0.0, 0.0}, 0.5), 1.0 / 3.0, 1e-14);
  EXPECT_NEAR(*lm::bivariate_normal_cdf({0.0, 0.0}, -0.5), 1.0 / 6.0, 1e-14);
  EXPECT_EQ(*lm::bivariate_normal_cdf({0.4, -0.3}, 0.0), *lm::standard_normal_cdf(0.4) * *lm::standard_normal_cdf(-0.3));
}

TEST(LatentNormal, GeometricBoundAndLogSumExp) {
  EXPECT_EQ(*lm::log_bivariate_geometry_upper_bound({-inf, -inf}, {inf, inf}, 0.3), 0.0);
  EXPECT_NEAR(*lm::log_bivariate_geometry_upper_bound({0.0, 0.0}, {inf, inf}, 0.0), std::log(0.5), 1e-15);
  EXPECT_NEAR(lm::log_sum_exp(std::array<double, 8>{-3, -3, -3, -3, -3, -3, -3, -3}), -3.0 + std::log(8.0), 1e-15);
  EXPECT_EQ(lm::log_sum_exp(std::array<double, 8>{-inf, -inf, -inf, -inf, -inf, -inf, -inf, -inf}), -inf);
  EXPECT_NEAR(lm::log_sum_exp(std::array<double, 8>{-800, -inf, -inf, -inf, -inf, -inf, -inf, -801}), -800.0 + std::log1p(std::exp(-1.0)),
              1e-12);
}

TEST(LatentNormal, CutSetsPlaceTheSharesAboveEachCut) {
  const auto shares = *lm::cut_set_for({0.5, 0.3, 0.2}, std::nullopt, 9.0, 1.0);
  ASSERT_EQ(shares.size(), 2u);
  EXPECT_EQ(shares[0], 0.0);
  EXPECT_NEAR(shares[1], 0.8416212335729142, 1e-15);
  const auto prevalence = *lm::cut_set_for({}, 0.1, 9.0, 4.0);
  ASSERT_EQ(prevalence.size(), 1u);
  EXPECT_NEAR(prevalence[0], 2.5631031310892007, 1e-14);
  EXPECT_EQ(*lm::cut_set_for({}, std::nullopt, 0.7, 0.0), std::vector<double>{0.7});
  EXPECT_TRUE(lm::cut_set_for({1.0}, std::nullopt, 0.0, 1.0)->empty());
  // A prevalence above one half lands below zero.
  EXPECT_NEAR(lm::cut_set_for({}, 0.9, 0.0, 1.0)->front(), -1.2815515655446004, 1e-14);
}

TEST(LatentNormal, TailClosuresBracketTheDrop) {
  const double s = std::sqrt((1.0 - 0.9) * (1.0 + 0.9));
  const lm::TailIntegrand tail{8.0, inf, 0.9, s};
  const double peak = *tail.log_integrand(8.0);
  const double right = *tail.limit(+1, 8.0, peak, 80.0, 8.0, inf);
  EXPECT_LT(*tail.log_integrand(right), peak - 80.0);
  EXPECT_GE(*tail.log_integrand(right - 1e-6), peak - 80.0 - 1e-3);
  EXPECT_EQ(*tail.limit(-1, 8.0, peak, 80.0, 8.0, inf), 8.0);  // the outer end is reached
  EXPECT_EQ(tail.shifted(8.0, peak), 1.0);
  const lm::TailIntegrand broken{nan, 1.0, 0.5, 0.8};
  EXPECT_TRUE(std::isnan(broken.shifted(-1.0, 0.0)));
}

TEST(LatentNormal, CornerFailuresAreJudgedInOrder) {
  using R = kestrune::Result<double>;
  const R ok = 0.5;
  const R unresolved = kestrune::fail("LATENT_MEDIATION_BIVARIATE_PROBABILITY_UNRESOLVED");
  const R other = kestrune::fail("LATENT_MEDIATION_BIVARIATE_QUADRATURE_NOT_FINITE");
  EXPECT_EQ(lm::judge_corners({ok, ok, ok, ok}).verdict, lm::CornerVerdict::use_corners);
  EXPECT_EQ(lm::judge_corners({unresolved, ok, unresolved, ok}).verdict, lm::CornerVerdict::tail_quadrature);
  const auto failed = lm::judge_corners({unresolved, ok, other, unresolved});
  EXPECT_EQ(failed.verdict, lm::CornerVerdict::failed);
  EXPECT_EQ(failed.error->code, "LATENT_MEDIATION_BIVARIATE_QUADRATURE_NOT_FINITE");
}

struct CodeCase {
  const char* name;
  std::string_view (*call)();
  std::string_view code;
};

class LatentNormalCodes : public testing::TestWithParam<CodeCase> {};

TEST_P(LatentNormalCodes, EachCodeIsReached) { EXPECT_EQ(GetParam().call(), GetParam().code); }

const CodeCase code_cases[] = {
    {"cdf_nan", [] { return code_of(lm::standard_normal_cdf(nan)); }, "LATENT_MEDIATION_NORMAL_VARIATE_NOT_FINITE"},
    {"interval_nan", [] { return code_of(lm::interval_probability(nan, 1.0)); }, "LATENT_MEDIATION_NORMAL_VARIATE_NOT_FINITE"},
    {"log_interval_nan", [] { return code_of(lm::log_interval_probability(-1.0, nan)); }, "LATENT_MEDIATION_NORMAL_VARIATE_NOT_FINITE"},
    {"inverse_out_of_range", [] { return code_of(lm::inverse_log_normal_sf(-0.5)); }, "LATENT_MEDIATION_INVERSE_TAIL_OUT_OF_RANGE"},
    {"inverse_nan", [] { return code_of(lm::inverse_log_normal_sf(nan)); }, "LATENT_MEDIATION_NORMAL_VARIATE_NOT_FINITE"},
    {"qmc_u_zero", [] { return code_of(lm::truncated_standard_normal(2.0, 1.0, 0.0)); }, "LATENT_MEDIATION_QMC_COORDINATE_INVALID"},
    {"qmc_u_one", [] { return code_of(lm::truncated_standard_normal(0.0, 1.0, 1.0)); }, "LATENT_MEDIATION_QMC_COORDINATE_INVALID"},
    {"truncation_empty", [] { return code_of(lm::truncated_standard_normal(1.0, 1.0, 0.5)); }, "LATENT_MEDIATION_TRUNCATION_INTERVAL_EMPTY"},
    {"truncation_nan", [] { return code_of(lm::truncated_standard_normal(0.0, nan, 0.5)); }, "LATENT_MEDIATION_TRUNCATION_INTERVAL_EMPTY"},
    {"correlation_one", [] { return code_of(lm::bivariate_normal_cdf({0.0, 0.0}, 1.0)); }, "LATENT_MEDIATION_BIVARIATE_CORRELATION_INVALID"},
    {"correlation_nan", [] { return code_of(lm::log_bivariate_geometry_upper_bound({0, 0}, {1, 1}, nan)); }, "LATENT_MEDIATION_BIVARIATE_CORRELATION_INVALID"},
    {"threshold_nan", [] { return code_of(lm::bivariate_normal_cdf({nan, 0.0}, 0.3)); }, "LATENT_MEDIATION_BIVARIATE_THRESHOLD_INVALID"},
    {"infinite_h_nan_k", [] { return code_of(lm::bivariate_normal_cdf({inf, nan}, 0.3)); }, "LATENT_MEDIATION_NORMAL_VARIATE_NOT_FINITE"},
    {"unresolved", [] { return code_of(lm::bivariate_normal_cdf({-9.0, -9.0}, 0.3)); }, "LATENT_MEDIATION_BIVARIATE_PROBABILITY_UNRESOLVED"},
    {"quadrature_not_finite", [] { return code_of(lm::adaptive_simpson([](double) { return nan; }, 0.0, 1.0, 1e-10, 0.0, 5)); }, "LATENT_MEDIATION_BIVARIATE_QUADRATURE_NOT_FINITE"},
    {"quadrature_no_convergence", [] { return code_of(lm::adaptive_simpson([](double x) { return std::sin(1.0 / x); }, 1e-4, 1.0, 1e-15, 0.0, 3)); }, "LATENT_MEDIATION_BIVARIATE_QUADRATURE_DID_NOT_CONVERGE"},
    {"variance_invalid", [] { return code_of(lm::cut_set_for({0.5, 0.5}, std::nullopt, 0.0, 0.0)); }, "LATENT_MEDIATION_OUTCOME_VARIANCE_INVALID"},
    {"prevalence_variance_nan", [] { return code_of(lm::cut_set_for({}, 0.2, 0.0, nan)); }, "LATENT_MEDIATION_OUTCOME_VARIANCE_INVALID"},
};

INSTANTIATE_TEST_SUITE_P(Table, LatentNormalCodes, testing::ValuesIn(code_cases),
                         [](const testing::TestParamInfo<CodeCase>& info) { return std::string(info.param.name); });

}  // namespace
