#include "numerics/mixture_tail.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include <boost/math/special_functions/gamma.hpp>

#include "numerics/deviance.hpp"

namespace kestrune::mixture_tail {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double infinity = std::numeric_limits<double>::infinity();

// Nodes (ascending) and weights of 20-point Gauss-Legendre on [-1, 1].
constexpr std::array<std::pair<double, double>, 20> gauss_legendre{{
    {-0.9931285991850949, 0.017614007139152118}, {-0.9639719272779138, 0.04060142980038694},
    {-0.912234428251326, 0.06267204833410907},   {-0.8391169718222188, 0.08327674157670475},
    {-0.7463319064601508, 0.10193011981724044},  {-0.636053680726515, 0.11819453196151841},
    {-0.5108670019508271, 0.13168863844917664},  {-0.37370608871541955, 0.14209610931838204},
    {-0.22778585114164507, 0.14917298647260374}, {-0.07652652113349734, 0.15275338713072584},
    {0.07652652113349734, 0.15275338713072584},  {0.22778585114164507, 0.14917298647260374},
    {0.37370608871541955, 0.14209610931838204},  {0.5108670019508271, 0.13168863844917664},
    {0.636053680726515, 0.11819453196151841},    {0.7463319064601508, 0.10193011981724044},
    {0.8391169718222188, 0.08327674157670475},   {0.912234428251326, 0.06267204833410907},
    {0.9639719272779138, 0.04060142980038694},   {0.9931285991850949, 0.017614007139152118},
}};

// The phase theta(t) = sum_j atan(2 w_j t) / 2 - q t and the band index floor(theta / pi).
// Where q equals the sum of the weights to within rounding, the plain sum leaves theta's sign
// to rounding noise near t = 0 (its true size there is only O(t^3)), and the band search would
// count a run of spurious bands; the phase is then computed as
//   sum_j (atan(x_j) - x_j) / 2 + (sum_j w_j - q) t,   x_j = 2 w_j t,
// with the excess sum_j w_j - q carried exactly and atan(x) - x by its series for small x.
struct Phase {
  std::span<const double> weights;
  double q;
  bool compensated = false;
  double excess = 0.0;  // sum_j w_j - q, compensated
};

// atan(x) - x, accurate to rounding also where the difference is far below x.
double atan_minus_identity(double x) {
  if (std::fabs(x) > 0.125) return std::atan(x) - x;
  const double x2 = x * x;
  double series = 0.0;
  for (int k = 12; k >= 1; --k) series = (k % 2 == 1 ? -1.0 : 1.0) / (2 * k + 1) + x2 * series;
  return x * x2 * series;
}

// sum_j w_j - q to about one rounding of the result: Neumaier's compensated sum.
double compensated_excess(std::span<const double> weights, double q) {
  double sum = 0.0, correction = 0.0;
  auto add = [&](double term) {
    const double next = sum + term;
    correction += std::fabs(sum) >= std::fabs(term) ? (sum - next) + term : (term - next) + sum;
    sum = next;
  };
  for (const double w : weights) add(w);
  add(-q);
  return sum + correction;
}

Phase make_phase(std::span<const double> weights, double q) {
  Phase phase{weights, q};
  const double excess = compensated_excess(weights, q);
  if (std::fabs(excess) <= std::ldexp(std::fabs(q), -44)) {
    phase.compensated = true;
    phase.excess = excess;
  }
  return phase;
}

double theta(const Phase& phase, double t) {
  double sum = -0.0;
  if (phase.compensated) {
    for (const double w : phase.weights) sum += atan_minus_identity(t * (w + w));
    return sum * 0.5 + phase.excess * t;
  }
  for (const double w : phase.weights) sum += std::atan(t * (w + w));
  return sum * 0.5 - phase.q * t;
}

// Which half-period of sin(theta(t)) t lies in: f changes sign exactly where this does.
double band_index(const Phase& phase, double t) { return std::floor(theta(phase, t) / pi); }

// The Imhof integrand sin(theta(t)) * prod (1 + 4 w^2 t^2)^(-1/4) / t; 0 for t <= 0.
double integrand(const Phase& phase, double t) {
  if (!(t > 0.0)) return 0.0;
  double log_modulus = 0.0;
  for (const double w : phase.weights) log_modulus += std::log1p(t * (t * (w * (w * 4.0))));
  return std::sin(theta(phase, t)) * std::exp(log_modulus * -0.25) / t;
}

double panel(const Phase& phase, double a, double b) {
  const double centre = (a + b) * 0.5;
  const double radius = (b - a) * 0.5;
  double sum = -0.0;
  for (const auto& [node, weight] : gauss_legendre) sum += weight * integrand(phase, centre + radius * node);
  return radius * sum;
}

// The band in panels whose widths double from a, the finest about h0 wide. Doubling goes on
// until the panels reach the band's width, however wide: a band far wider than h0 * 2^39
// (q tiny against the weights) would otherwise start with a panel far coarser than the
// integrand.
double band(const Phase& phase, double a, double b, double h0) {
  const double width = b - a;
  if (!(width > 0.0)) return 0.0;
  if (h0 >= width) return panel(phase, a, b);
  int doublings = 0;
  double reach = h0;
  do {
    reach *= 2.0;
    ++doublings;
  } while (reach < width && std::isfinite(reach));

  double sum = 0.0;
  double lo = a;
  for (int k = 0; k <= doublings; ++k) {
    const int halvings = k == 0 ? doublings : doublings - k + 1;
    const double hi = k == doublings ? b : lo + std::ldexp(width, -halvings);
    sum += panel(phase, lo, hi);
    lo = hi;
  }
  return sum;
}

TailResult exact(double probability, std::string_view method) {
  return TailResult{probability, method, 0.0, true};
}

// Weights above 1e-12 of the largest, in input order; none when no weight is positive.
std::vector<double> kept_weights(std::span<const double> weights) {
  double largest = 0.0;
  for (const double w : weights) largest = std::fmax(largest, w);
  std::vector<double> kept;
  for (const double w : weights) {
    if (w > largest * 1e-12) kept.push_back(w);
  }
  return kept;
}

bool all_equal(const std::vector<double>& kept) {
  const double first = kept.front();
  return std::all_of(kept.begin(), kept.end(),
                     [first](double w) { return std::fabs(w - first) <= 1e-12 * first; });
}

// Binary exponents of the largest weight between which the band search's absolute units
// in t (the first point 1e-14, the offset 1e-13 past a zero, steps of at most 0.5) resolve
// the bands. Far outside, the located zeros are rounding noise or skip whole bands, and a
// plainly wrong probability would be reported as settled (seen from about 2^-30 and 2^42
// on); the margins keep well clear of both.
constexpr int smallest_moderate_exponent = -20;
constexpr int largest_moderate_exponent = 36;

struct Scaled {
  std::vector<double> weights;
  double q;
};

// The tail depends on q and the weights only through their ratios, which a power of two
// leaves exact, so weights of extreme size are brought to a largest weight in [1, 2); q may
// overflow to +infinity on the way. Weights of moderate size are left as they are.
Scaled at_moderate_scale(std::vector<double> weights, double q) {
  const int exponent = std::ilogb(*std::max_element(weights.begin(), weights.end()));
  if (exponent >= smallest_moderate_exponent && exponent <= largest_moderate_exponent) {
    return {std::move(weights), q};
  }
  for (double& w : weights) w = std::ldexp(w, -exponent);
  return {std::move(weights), std::ldexp(q, -exponent)};
}

// Whether P(Q > q) is 1 to double precision, q being far below the smallest weight. The bands
// cannot tell: the first zero of the integrand lies near t = n / q, beyond any number of steps
// for q small enough. But Q >= w_min * chi-square_n, so P(Q <= q) is at most the lower tail of
// w_min * chi-square_n at q, and when that is below half an ulp of 1 the tail rounds to 1.
bool tail_is_one(const std::vector<double>& weights, double q) {
  const double smallest = *std::min_element(weights.begin(), weights.end());
  const double half_n = static_cast<double>(weights.size()) / 2.0;
  const double below = boost::math::gamma_p(half_n, q / smallest / 2.0, deviance::NoThrowPolicy{});
  return below < 0x1p-54;
}

// Where the band index first leaves `band` between lo (inside it) and hi (beyond it), to
// the resolution of exactly 80 bisections.
double band_end(const Phase& phase, double current, double lo, double hi) {
  for (int i = 0; i < 80; ++i) {
    const double mid = (hi + lo) * 0.5;
    if (band_index(phase, mid) == current) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return hi;
}

// P from the sum of the completed bands' integrals, clamped to [0, 1] against cancellation,
// with the last band's share of it.
TailResult inversion_result(double sum, double last) {
  double p = sum / pi + 0.5;
  if (p < 0.0) p = 0.0;
  if (p > 1.0) p = 1.0;
  const double settled_to = p > 0.0 ? (last / pi) / p : infinity;
  return TailResult{p, "gil_pelaez_inversion", settled_to, settled_to < 0.001 && p > 1e-11};
}

// P(Q > q) = 1/2 + (1/pi) * integral of f over (0, infinity), summed band by band between
// the zeros of f until the last band no longer moves the sum.
TailResult gil_pelaez(std::span<const double> weights, double q) {
  const double largest = *std::max_element(weights.begin(), weights.end());
  const Phase phase = make_phase(weights, q);
  double current = band_index(phase, 1e-14);
  // With q so far above the weights that f has zeros below the first point looked at (or
  // q / largest overflowed), the bands cannot be found; but the tail is then below
  // P(largest * chi-square_n > q), which is 0 in double precision.
  const double n = static_cast<double>(weights.size());
  if (current < -1.0 && deviance::chi2_upper_tail(q / largest, n) == 0.0) {
    return TailResult{0.0, "gil_pelaez_inversion", 0.0, true};
  }
  const double h0 = std::fmin(0.25 / largest, 0.5);
  const double h_max = std::fmax(pi / q * 0.125, h0);

  double t = 0.0;
  double h = h0;
  double sum = 0.0;
  double last = infinity;
  long bands = 0;
  for (;;) {
    const double a = t;
    const double h_a = h;
    // Step ahead until the band index changes; a band never closed contributes nothing.
    double t_next = 0.0;
    bool found = false;
    for (int steps = 1; steps <= 8000; ++steps) {
      t_next = h + t;
      if (!std::isfinite(t_next)) break;
      if (band_index(phase, t_next) != current) {
        found = true;
        break;
      }
      h = std::fmin(h * 1.05, h_max);
      t = t_next;
    }
    if (!found) break;

    const double b = band_end(phase, current, t, t_next);
    const double integral = band(phase, a, b, h0);
    current = band_index(phase, b + 1e-13);
    sum = sum + integral;
    last = std::fabs(integral);
    bands += 1;
    h = std::fmin(std::fmax(b - a, h_a), h_max);
    t = b;
    if (bands >= 5) {
      const double p = sum / pi + 0.5;
      const double smallest_normal = std::numeric_limits<double>::min();
      if (last / pi < 1e-10 * std::fmax(std::fabs(p), smallest_normal) || bands == 40000) break;
    }
  }

  return inversion_result(sum, last);
}

}  // namespace

double gauss_panel(std::span<const double> weights, double a, double b, double q) {
  return panel(Phase{weights, q}, a, b);
}

double graded_band(std::span<const double> weights, double a, double b, double q, double h0) {
  return band(Phase{weights, q}, a, b, h0);
}

Result<TailResult> weighted_chi2_upper_tail(std::span<const double> weights, double q) {
  if (!std::isfinite(q)) return fail(not_finite);
  if (!std::all_of(weights.begin(), weights.end(), [](double w) { return std::isfinite(w); })) {
    return fail(not_finite);
  }
  if (std::any_of(weights.begin(), weights.end(), [](double w) { return w < 0.0; })) {
    return fail(weight_negative);
  }
  std::vector<double> kept = kept_weights(weights);
  if (kept.empty()) return exact(q <= 0.0 ? 1.0 : 0.0, "degenerate");
  if (q <= 0.0) return exact(1.0, "below_support");
  // q / w may overflow to +infinity for a tiny weight; the tails below give 0 there.
  if (kept.size() == 1) {
    const double x = q / kept.front();
    return exact(x <= 0.0 ? 1.0 : deviance::gamma_q(0.5, x / 2.0), "exact_single_weight");
  }
  if (all_equal(kept)) {
    const double df = static_cast<double>(kept.size());
    return exact(deviance::chi2_upper_tail(q / kept.front(), df), "exact_equal_weights");
  }
  if (tail_is_one(kept, q)) return TailResult{1.0, "gil_pelaez_inversion", 0.0, true};
  const Scaled scaled = at_moderate_scale(std::move(kept), q);
  return gil_pelaez(scaled.weights, scaled.q);
}

}  // namespace kestrune::mixture_tail
