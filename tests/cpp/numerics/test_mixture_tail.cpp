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

}  // namespace
