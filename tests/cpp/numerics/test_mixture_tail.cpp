// The inversion's quadrature pieces against an independent integrand built from the
// characteristic function in complex arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "numerics/mixture_tail.hpp"

namespace {

using kestrune::mixture_tail::gauss_panel;
using kestrune::mixture_tail::graded_band;
using kestrune::mixture_tail::weighted_chi2_upper_tail;

// Im(phi(t) exp(-i q t)) / t with phi(t) = prod (1 - 2 i w t)^(-1/2), the characteristic
// function of the weighted sum.
double reference_integrand(const std::vector<double>& weights, double t, double q) {
  std::complex<double> phi = std::exp(std::complex<double>(0.0, -q * t));
  for (const double w : weights) phi /= std::sqrt(std::complex<double>(1.0, -2.0 * w * t));
  return phi.imag() / t;
}

// Composite Simpson's rule on 20000 intervals: slow, simple and accurate to ~1e-13 here.
double reference_integral(const std::vector<double>& weights, double a, double b, double q) {
  const int intervals = 20000;
  const double h = (b - a) / intervals;
  double sum = 0.0;
  for (int i = 0; i <= intervals; ++i) {
    const double t = a + i * h;
    const double f = t > 0.0 ? reference_integrand(weights, t, q) : 0.0;
    sum += (i == 0 || i == intervals ? 1.0 : (i % 2 == 1 ? 4.0 : 2.0)) * f;
  }
  return sum * h / 3.0;
}

struct PanelCase {
  std::vector<double> weights;
  double a, b, q;
};

TEST(MixtureTailQuadrature, PanelAndBandMatchTheCharacteristicFunction) {
  const std::vector<PanelCase> cases = {
      {{1.0, 2.0}, 0.05, 0.3, 3.0},
      {{1.0, 2.0}, 1.0, 1.6, 10.0},
      {{0.3, 0.7, 1.9}, 0.2, 0.9, 2.0},
      {{4.0, 0.01, 0.5, 2.5}, 0.01, 0.08, 7.5},
  };
  for (const auto& c : cases) {
    const double expected = reference_integral(c.weights, c.a, c.b, c.q);
    EXPECT_NEAR(gauss_panel(c.weights, c.a, c.b, c.q), expected, 1e-11) << c.a << " " << c.b;
    for (const double h0 : {1e-3, 0.02, 0.125}) {
      EXPECT_NEAR(graded_band(c.weights, c.a, c.b, c.q, h0), expected, 1e-11) << h0;
    }
  }
  // A band from the origin: the integrand tends to a finite limit there.
  const std::vector<double> w = {1.0, 2.0};
  EXPECT_NEAR(graded_band(w, 0.0, 0.9, 3.0, 0.125), reference_integral(w, 0.0, 0.9, 3.0), 1e-11);
}

TEST(MixtureTailQuadrature, BandGradingEdges) {
  const std::vector<double> w = {1.0, 2.0};
  // A band no wider than the first step is one panel.
  EXPECT_EQ(graded_band(w, 0.2, 0.3, 3.0, 0.1 + 1e-9), gauss_panel(w, 0.2, 0.3, 3.0));
  EXPECT_EQ(graded_band(w, 0.2, 0.3, 3.0, 0.5), gauss_panel(w, 0.2, 0.3, 3.0));
  // An empty or reversed band contributes nothing.
  EXPECT_EQ(graded_band(w, 0.4, 0.4, 3.0, 0.1), 0.0);
  EXPECT_EQ(graded_band(w, 0.5, 0.4, 3.0, 0.1), 0.0);
  // One doubling: two panels of half the band each.
  EXPECT_EQ(graded_band(w, 0.25, 0.5, 3.0, 0.2),
            gauss_panel(w, 0.25, 0.375, 3.0) + gauss_panel(w, 0.375, 0.5, 3.0));
  // Three doublings: widths W/8, W/8, W/4, W/2 from the start.
  EXPECT_EQ(graded_band(w, 1.0, 2.0, 3.0, 0.125 + 1e-12),
            gauss_panel(w, 1.0, 1.125, 3.0) + gauss_panel(w, 1.125, 1.25, 3.0) +
                gauss_panel(w, 1.25, 1.5, 3.0) + gauss_panel(w, 1.5, 2.0, 3.0));
  // A tiny first step stops doubling at 39 and still covers the band.
  EXPECT_NEAR(graded_band(w, 0.2, 0.9, 3.0, 1e-30), reference_integral(w, 0.2, 0.9, 3.0), 1e-11);
  // Points at or below zero contribute nothing.
  EXPECT_EQ(gauss_panel(w, -1.0, 0.0, 3.0), 0.0);
}

// Exact tails, held to what each result's own settled_to promises (its share of the probability),
// or to a few roundings of the 1/2 the probability is formed from. Weights of every spread, and q
// from the middle to far in the tail. The values are Imhof's integral at 25 digits
// (mpmath.quadosc over [0, inf) with omega = q/2); the [2, 1] rows agree to 20 digits with the
// convolution P(X > q/2) + int_0^{q/2} f(x) P(Y > q - 2x) dx of two chi-squares on one degree.
TEST(MixtureTailInversion, ExactTailsWithinWhatTheResultPromises) {
  struct Case {
    std::vector<double> weights;
    double q, p;
  };
  std::vector<double> forty;
  for (int j = 0; j < 40; ++j) forty.push_back(std::exp(-0.15 * j));
  const std::vector<double> ten = {0.3, 0.29, 0.28, 0.27, 0.26, 0.25, 0.24, 0.23, 0.22, 0.21};
  const std::vector<Case> cases = {
      {{2.0, 1.0}, 1.0, 0.7048248754159248},
      {{2.0, 1.0}, 9.0, 0.054003353638611834},
      {{2.0, 1.0}, 40.0, 1.1237344279476046e-05},
      {{0.9, 0.5, 0.2}, 1.6, 0.3685268984291182},
      {{0.9, 0.5, 0.2}, 12.0, 0.0004732499683745384},
      {{5.0, 3.0, 2.0, 1.0, 0.5}, 11.5, 0.3852723880674925},
      {{5.0, 3.0, 2.0, 1.0, 0.5}, 60.0, 0.001453779244499245},
      {{1e3, 1.0, 1e-3}, 2500.0, 0.1139187353100215},
      {{1.0, 1e-4, 1e-4, 1e-4}, 0.2, 0.6549631792754305},
      {ten, 2.55, 0.4395787347517986},
      {ten, 9.0, 0.00013076855627140933},
      {{7e-9, 3e-9, 1e-9}, 2e-8, 0.15098291330137295},
      {{4e14, 1e14}, 5e15, 0.00047576296369116817},
      {forty, 3.0, 0.9777493392600378},
      {forty, 25.0, 7.981643887476088e-05},
      // One weight far above the other, at two sizes: the larger-weighted chi-square's tail
      // averaged over the smaller one (mpmath.quad at 30 digits).
      {{1.0, 1e-6}, 1.0, 0.3173107498340016},
      {{4.27e-13, 1.186e-6}, 6.7e-8, 0.8121288579018511},
  };
  for (const Case& c : cases) {
    const auto tail = weighted_chi2_upper_tail(c.weights, c.q);
    EXPECT_EQ(tail->method, "gil_pelaez_inversion");
    EXPECT_TRUE(tail->trustworthy) << c.q;
    EXPECT_LT(tail->settled_to, 1e-4) << c.weights.size() << " " << c.q;
    EXPECT_NEAR(tail->probability, c.p, std::fmax(tail->settled_to * c.p, 0x1p-51)) << c.weights.size() << " " << c.q;
  }
}

// Small weights take the bands to t in the thousands, where 1e-13 past a band's end is within
// an ulp of it: the termwise search restarted the band it had just closed, summed an empty
// band and stopped as settled at 3.3e-5. The value is Imhof's integral at 30 digits.
TEST(MixtureTailInversion, BandsAtLargeTKeepGoing) {
  const std::vector<double> weights = {
      0.0035508124450747604, 0.0028113189750398233, 0.0027754966508531935, 0.0022229588711447394,
      0.0019865826821042448, 0.001758760047139499,  0.0012023800767503726, 0.00088791315910085602,
      0.00087972126339052042, 0.00079067989465905037, 0.00076703808234719563, 0.00075388673133409674,
      0.00045014201770011514, 0.00042317761623339103, 0.00034128555929874088, 0.00031556748569298664,
      0.00018582655930601707, 0.00018223157770910927, 0.00017974853906308882, 0.00014290110364670146,
      0.00011361886738004204, 7.549196224584282e-05,  2.8015581821803801e-05, 2.6504060466888447e-05,
      2.5913668819537304e-05, 1.2446159489622978e-05, 9.6644143520619602e-06, 3.754809535271906e-06,
      3.5792560717606722e-06, 3.03351364783488e-06};
  const auto tail = weighted_chi2_upper_tail(weights, 0.089851558711766241);
  EXPECT_TRUE(tail->trustworthy);
  EXPECT_NEAR(tail->probability, 4.00937108080947e-5, 1e-9 * 4.00937108080947e-5);
}

}  // namespace
