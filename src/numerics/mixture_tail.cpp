#include "numerics/mixture_tail.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <limits>
#include <optional>
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
  double largest = 0.0;      // the largest weight
  double cubic_width = 0.0;  // how narrow a bracket the cubic about its middle serves (below)
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

// The fourth derivative of theta is at most sum_j (2 w_j)^4 * 4.67 / 2 in size (that of atan
// is at most 4.67), so the cubic Taylor polynomial about the middle of a bracket this wide errs
// by less than 2^-60 anywhere in it, far below the rounding of theta itself.
double cubic_width(std::span<const double> weights) {
  double fourth = 0.0;
  for (const double w : weights) fourth += ((w + w) * (w + w)) * ((w + w) * (w + w));
  return 2.0 * std::sqrt(std::sqrt(24.0 * 0x1p-60 / (fourth * 2.5)));
}

Phase plain_phase(std::span<const double> weights, double q) {
  Phase phase{weights, q};
  for (const double w : weights) phase.largest = std::fmax(phase.largest, w);
  phase.cubic_width = cubic_width(weights);
  return phase;
}

Phase make_phase(std::span<const double> weights, double q) {
  Phase phase = plain_phase(weights, q);
  const double excess = compensated_excess(weights, q);
  if (std::fabs(excess) <= std::ldexp(std::fabs(q), -44)) {
    phase.compensated = true;
    phase.excess = excess;
  }
  return phase;
}

// atan(j / 8) for j = 0 ... 8, each as a double and the rest beyond it.
constexpr std::array<std::pair<double, double>, 9> atan_eighths{{
    {0.0, 0.0},
    {0.12435499454676144, -3.1253241424539383e-18},
    {0.24497866312686414, 1.0698755618734451e-17},
    {0.35877067027057225, -2.4623815582638635e-17},
    {0.4636476090008061, 2.2698777452961687e-17},
    {0.5585993153435624, -5.4556305485916264e-18},
    {0.6435011087932844, 1.5834785051444286e-17},
    {0.7188299996216245, -2.1478388444456983e-17},
    {0.7853981633974483, 3.061616997868383e-17},
}};
constexpr std::pair<double, double> half_pi_parts{1.5707963267948966, 6.123233995736766e-17};
constexpr std::pair<double, double> pi_parts{3.141592653589793, 1.2246467991473532e-16};
constexpr std::pair<double, double> two_pi_parts{6.283185307179586, 2.4492935982947064e-16};

// atan(a / b) for 0 <= a <= b, b > 0, to about an ulp: atan(c) + atan(u) with c the nearest
// eighth and u = (a - c b) / (b + c a), |u| <= 1/16, whose odd series to u^13 is exact to
// rounding.
double atan_of_ratio(double a, double b) {
  const auto j = static_cast<int>(a / b * 8.0 + 0.5);
  const double c = j * 0.125;
  const double u = (a - c * b) / (b + c * a);
  const double u2 = u * u;
  const double series =
      1.0 + u2 * (-1.0 / 3 + u2 * (1.0 / 5 + u2 * (-1.0 / 7 + u2 * (1.0 / 9 + u2 * (-1.0 / 11 + u2 / 13)))));
  const auto [high, low] = atan_eighths[static_cast<std::size_t>(j)];
  return high + (low + u * series);
}

// K - x for a constant K given as its two parts.
double reflected(std::pair<double, double> k, double x) { return (k.first - x) + k.second; }

// The argument of re + i im in [0, 2 pi]: the lower half-plane is the one where im carries the
// sign bit, so that it agrees with quadrant() below.
double argument(double re, double im) {
  const double a = std::fabs(re), b = std::fabs(im);
  double angle = b <= a ? atan_of_ratio(b, a) : reflected(half_pi_parts, atan_of_ratio(a, b));
  if (re < 0.0) angle = reflected(pi_parts, angle);
  return std::signbit(im) ? reflected(two_pi_parts, angle) : angle;
}

// The product P(t) = prod_j (1 + i x_j), x_j = 2 w_j t, whose argument is S(t) = sum_j atan(x_j)
// up to whole turns and whose modulus is prod_j (1 + x_j^2)^(1/2): one complex product a weight
// in place of an atan and a log1p, agreeing with the termwise sums to a few roundings of the
// terms. It is formed while every x_j is at most 2^64 (each factor is then below 2^64.0001)
// and held as (re + i im) times a power of two, |re| + |im| below 2^257. A factor turns the
// product by less than a quarter turn, and a component that crosses an axis moves away from
// the sign it had (rounding moves a sum towards its addend's sign), so each change of a sign
// bit is one quadrant boundary passed. Quadrants are numbered 0 to 3 in the order of the signs
// (+, +), (-, +), (-, -), (+, -) of re and im, read from the sign bits; the boundaries passed
// are the quadrant modulo 4, and the whole turns (boundaries - quadrant) / 4.
constexpr double product_reach = 0x1p+64;
constexpr double rescale_above = 0x1p+256;

bool sign(double v) { return std::signbit(v); }

int quadrant(double re, double im) { return sign(im) ? (sign(re) ? 2 : 3) : (sign(re) ? 1 : 0); }

long whole_turns(long crossings, double re, double im) { return (crossings - quadrant(re, im)) / 4; }

// S(t) at one t, for the band search.
double product_angle(std::span<const double> weights, double t) {
  double re = 1.0, im = 0.0;
  long crossings = 0;
  for (const double w : weights) {
    const double x = t * (w + w);
    const double next_re = re - im * x;
    const double next_im = im + re * x;
    crossings += (sign(next_re) != sign(re)) + (sign(next_im) != sign(im));
    re = next_re;
    im = next_im;
    if (std::fabs(re) + std::fabs(im) > rescale_above) {
      re *= 0x1p-256;
      im *= 0x1p-256;
    }
  }
  return static_cast<double>(whole_turns(crossings, re, im)) * two_pi_parts.first + argument(re, im);
}

bool within_product_reach(const Phase& phase, double t) {
  return t * (phase.largest + phase.largest) <= product_reach;
}

double theta(const Phase& phase, double t) {
  double sum = -0.0;
  if (phase.compensated) {
    for (const double w : phase.weights) sum += atan_minus_identity(t * (w + w));
    return sum * 0.5 + phase.excess * t;
  }
  if (within_product_reach(phase, t)) return product_angle(phase.weights, t) * 0.5 - phase.q * t;
  for (const double w : phase.weights) sum += std::atan(t * (w + w));
  return sum * 0.5 - phase.q * t;
}

// Which half-period of sin(theta(t)) t lies in: f changes sign exactly where this does.
double band_index(const Phase& phase, double t) { return std::floor(theta(phase, t) / pi); }

// theta at a point of the band search and the band index there.
struct PhasePoint {
  double t;
  double theta;
  double index() const { return std::floor(theta / pi); }
};

PhasePoint phase_point(const Phase& phase, double t) { return {t, theta(phase, t)}; }

// theta'(t) = sum_j w_j / (1 + x_j^2) - q, x_j = 2 w_j t. Every term falls as t grows, so theta
// is concave on t > 0 and, once it falls, falls for good. Near q = sum_j w_j the excess form
// -sum_j w_j x_j^2 / (1 + x_j^2) + (sum_j w_j - q) keeps its sign.
double slope(const Phase& phase, double t) {
  double sum = 0.0;
  for (const double w : phase.weights) {
    const double x = t * (w + w);
    sum += phase.compensated ? -w / (1.0 + 1.0 / (x * x)) : w / (1.0 + x * x);
  }
  return phase.compensated ? sum + phase.excess : sum - phase.q;
}

// The step from t to beyond the next end of the band, where theta falls there: the index can
// then only go down, no band can be passed over and back, and any step is safe. theta lies below
// its tangent, so the tangent's crossing of the band's floor, a little further on than rounding
// can undo, is past the end; the bracket it makes is narrow about the end. The step goes no
// further than `cap`; where theta still rises it is `rising`.
double step_ahead(const Phase& phase, double current, PhasePoint from, double rising, double cap) {
  const double falling = slope(phase, from.t);
  if (!(falling < 0.0)) return rising;
  const double margin = 0x1p-30 * std::fmax(1.0, std::fabs(from.theta));
  const double reach = (from.theta - current * pi + margin) / -falling * (1.0 + 0x1p-20);
  return reach > 0.0 ? std::fmin(reach, cap) : rising;
}

// The Imhof integrand sin(theta(t)) * prod (1 + 4 w^2 t^2)^(-1/4) / t term by term; 0 for t <= 0.
double integrand(const Phase& phase, double t) {
  if (!(t > 0.0)) return 0.0;
  double log_modulus = 0.0;
  for (const double w : phase.weights) log_modulus += std::log1p(t * (t * (w * (w * 4.0))));
  return std::sin(theta(phase, t)) * std::exp(log_modulus * -0.25) / t;
}

constexpr std::size_t node_count = gauss_legendre.size();
using Nodes = std::array<double, node_count>;

// The integrand at a panel's nodes t_k = c + r x_k from their products, which advance together
// weight by weight: independent chains, which the compiler spreads over vector lanes. With
// sqrt(P) = |P|^(1/2) exp(i (S/2 - pi (turns + lower))) (the principal root; lower: the sign
// bit of im), sin(S/2 - q t) |P|^(-1/2) = +-Im(sqrt(P) exp(-i q t)) / |P|, and exp(-i q t_k) =
// exp(-i q c) exp(-i q r x_k), whose second factors are conjugate over the symmetric nodes: no
// atan, and one sincos a pair of nodes.
Nodes integrand_at_nodes(const Phase& phase, double centre, double radius) {
  Nodes t, re, im, scale;  // scale: 2^-(the powers of two taken out of P) / 2
  std::array<std::uint64_t, node_count> crossings{};
  for (std::size_t k = 0; k < node_count; ++k) {
    t[k] = centre + radius * gauss_legendre[k].first;
    re[k] = 1.0;
    im[k] = 0.0;
    scale[k] = 1.0;
  }
  // Four factors take |re| + |im| from below 2^257 to below 2^513: the check after every fourth
  // keeps the squares finite.
  const auto rescale = [&] {
    for (std::size_t k = 0; k < node_count; ++k) {
      const bool large = std::fabs(re[k]) + std::fabs(im[k]) > rescale_above;
      re[k] *= large ? 0x1p-256 : 1.0;
      im[k] *= large ? 0x1p-256 : 1.0;
      scale[k] *= large ? 0x1p-128 : 1.0;
    }
  };
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  for (std::size_t j = 0; j < phase.weights.size(); ++j) {
    const double w2 = phase.weights[j] + phase.weights[j];
    for (std::size_t k = 0; k < node_count; ++k) {
      const double x = t[k] * w2;
      const double next_re = re[k] - im[k] * x;
      const double next_im = im[k] + re[k] * x;
      crossings[k] += ((bits(next_re) ^ bits(re[k])) >> 63) + ((bits(next_im) ^ bits(im[k])) >> 63);
      re[k] = next_re;
      im[k] = next_im;
    }
    if (j % 4 == 3) rescale();
  }
  rescale();

  const double qc = phase.q * centre;
  const double cos_c = std::cos(qc), sin_c = std::sin(qc);
  Nodes values;
  for (std::size_t k = 0; k < node_count / 2; ++k) {
    const double angle = phase.q * (radius * gauss_legendre[k].first);
    const double cos_k = std::cos(angle), sin_k = std::sin(angle);
    // exp(-i q t) at the node and at its mirror image, whose offset has the opposite sign.
    const std::array<std::pair<std::size_t, double>, 2> pair{{{k, sin_k}, {node_count - 1 - k, -sin_k}}};
    for (const auto& [m, s] : pair) {
      const double e_re = cos_c * cos_k - sin_c * s;
      const double e_im = -(sin_c * cos_k + cos_c * s);
      const double modulus = std::sqrt(re[m] * re[m] + im[m] * im[m]);
      const double root = std::sqrt((modulus + std::fabs(re[m])) * 0.5);
      const double root_re = sign(re[m]) ? std::fabs(im[m]) / (root + root) : root;
      const double root_im = sign(re[m]) ? std::copysign(root, im[m]) : im[m] / (root + root);
      const long turns = whole_turns(static_cast<long>(crossings[m]), re[m], im[m]) + (sign(im[m]) ? 1 : 0);
      const double imaginary = root_re * e_im + root_im * e_re;
      values[m] = (turns % 2 == 0 ? imaginary : -imaginary) / modulus * scale[m] / t[m];
    }
  }
  return values;
}

double panel(const Phase& phase, double a, double b) {
  const double centre = (a + b) * 0.5;
  const double radius = (b - a) * 0.5;
  Nodes values;
  if (!phase.compensated && a > 0.0 && within_product_reach(phase, b)) {
    values = integrand_at_nodes(phase, centre, radius);
  } else {
    for (std::size_t k = 0; k < node_count; ++k) values[k] = integrand(phase, centre + radius * gauss_legendre[k].first);
  }
  double sum = -0.0;
  for (std::size_t k = 0; k < node_count; ++k) sum += gauss_legendre[k].second * values[k];
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

struct Scaled {
  std::vector<double> weights;
  double q;
};

// The tail depends on q and the weights only through their ratios, which a power of two leaves
// exact, so the weights are brought to a largest weight in [1, 2) before the inversion; q may
// overflow to +infinity on the way. Its absolute units in t (the first point 1e-14, the offset
// 1e-13 past a zero, steps of at most 0.5) then mean the same for every scale: left at the
// weights' own size they set the cost instead (a largest weight of 1e-6 takes steps of 0.5 where
// the integrand's scale is 2e5, and grades every band from there) and, far enough out, resolve
// the bands no more.
Scaled at_unit_scale(std::vector<double> weights, double q) {
  const int exponent = std::ilogb(*std::max_element(weights.begin(), weights.end()));
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

// theta about c to third order, theta(c) + d (theta'(c) + d (theta''(c) / 2 + d theta'''(c) / 6))
// with d = t - c, from the derivatives of atan, 1 / (1 + x^2), -2 x / (1 + x^2)^2 and
// (6 x^2 - 2) / (1 + x^2)^3, each times (2 w)^k.
struct Cubic {
  double centre;
  double value;
  std::array<double, 3> coefficients;

  double at(double t) const {
    const double d = t - centre;
    return value + d * (coefficients[0] + d * (coefficients[1] + d * coefficients[2]));
  }
};

Cubic cubic_about(const Phase& phase, double c) {
  double first = 0.0, second = 0.0, third = 0.0;
  for (const double w : phase.weights) {
    const double x = c * (w + w);
    const double a = (w + w) / (1.0 + x * x);
    first += a;
    second += -2.0 * x * (a * a);
    third += (a * a * a) * (6.0 * (x * x) - 2.0);
  }
  return {c, theta(phase, c), {first * 0.5 - phase.q, second * 0.25, third / 12.0}};
}

// The end of a band, the band index just past it, and the multiple of pi theta crossed there.
struct BandEnd {
  double at;
  double next;
  double level;
};

// Where the band index first leaves `current` between lo (inside it) and hi (beyond it), to the
// resolution of at most 80 steps, and the index at 1e-13 past it.
//
// While the bracket is wide, its points come by false position on theta - level (the multiple
// of pi being crossed), with Illinois' halving of an end kept twice and a midpoint after any
// step that failed to halve the bracket: theta is smooth, so this reaches the cubic's width
// below in a few evaluations where halving takes a dozen or more. A point is judged by its band
// index alone, as a midpoint is, so the bracket stays one whatever theta does inside it.
//
// Once the bracket is narrow enough, theta is taken from its cubic about the bracket's middle,
// exact there to far below rounding, and so is the index past the end while that lies within
// the cubic's reach: one smooth function on both sides of the end. Once the midpoint rounds to
// an end whose band is known, lo and hi are neighbours and the steps left change nothing,
// so the loop stops there: hi is always beyond the band, lo is once a point has been found
// inside it.
//
// Where t is large, 1e-13 is an ulp or less and within the rounding of theta's terms, and the
// point past the end can come out in the band itself; starting that band again would close it
// at once with an integral of 0, and the sum would stop there as settled. The index past the
// end is then the one found beyond it.
BandEnd band_end(const Phase& phase, double current, PhasePoint lo, PhasePoint hi) {
  double hi_index = hi.index();
  const double level = (hi_index < current ? current : current + 1.0) * pi;
  double g_lo = lo.theta - level, g_hi = hi.theta - level;
  int moved = 0;  // the end the last point replaced: -1 lo, +1 hi
  bool halve_next = false;
  std::optional<Cubic> local;
  bool lo_inside = false;
  for (int i = 0; i < 80; ++i) {
    const double mid = (hi.t + lo.t) * 0.5;
    if (mid == hi.t || (mid == lo.t && lo_inside)) break;
    if (!local && !phase.compensated && hi.t - lo.t <= phase.cubic_width * 0.5) local = cubic_about(phase, mid);
    const double width = hi.t - lo.t;
    double at = mid;
    if (!local && !halve_next && (g_lo < 0.0) != (g_hi < 0.0)) {
      // Kept off the ends, where theta's rounding may leave the value at an end at the level
      // itself, so that a zero next to an end is cut off at once.
      const double margin = width * 0x1p-20;
      const double secant = std::clamp(lo.t + width * (g_lo / (g_lo - g_hi)), lo.t + margin, hi.t - margin);
      if (secant > lo.t && secant < hi.t) at = secant;
    }
    const PhasePoint point = local ? PhasePoint{at, local->at(at)} : phase_point(phase, at);
    const double index = point.index();
    if (index == current) {
      lo = point;
      lo_inside = true;
      g_lo = point.theta - level;
      if (moved == -1) g_hi *= 0.5;
      moved = -1;
    } else {
      hi = point;
      hi_index = index;
      g_hi = point.theta - level;
      if (moved == 1) g_lo *= 0.5;
      moved = 1;
    }
    halve_next = at != mid && hi.t - lo.t > width * 0.5;
  }
  const double past = hi.t + 1e-13;
  const bool in_reach = local && std::fabs(past - local->centre) <= phase.cubic_width * 0.5;
  const double next = in_reach ? std::floor(local->at(past) / pi) : band_index(phase, past);
  return {hi.t, next == current ? hi_index : next, level};
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

constexpr long band_limit = 40000;
constexpr double stopping_share = 1e-10;

// Whether a band's integral no longer moves the sum of the series for the probability p.
bool settles(double last, double p) {
  return last / pi < stopping_share * std::fmax(std::fabs(p), std::numeric_limits<double>::min());
}

// Where theta, falling, crosses `level`, from a point before it: the tangent there crosses past
// it (theta is concave), and Newton's steps from that side stay on it, falling towards the
// crossing, until one is within rounding of it (or rounding has taken a step a hair across it).
// Empty if they fail to close in on it.
std::optional<double> crossing(const Phase& phase, PhasePoint from, double level) {
  const double margin = 0x1p-30 * std::fmax(1.0, std::fabs(from.theta));
  const double rounding = 0x1p-40 * std::fmax(1.0, std::fabs(level));
  double t = from.t + (from.theta - level + margin) / -slope(phase, from.t) * (1.0 + 0x1p-20);
  for (int i = 0; i < 60; ++i) {
    const double below = level - theta(phase, t);
    const double falling = slope(phase, t);
    if (!(below >= -rounding && falling < 0.0)) return std::nullopt;
    if (below <= rounding) return t;
    const double back = below / -falling;
    if (back <= t * 0x1p-44) return t;
    t -= back;
  }
  return std::nullopt;
}

// The bands of a falling phase: band k (counted on from a band already closed) lies between the
// crossings of (index_k + 1) pi and index_k pi, the index going down by one a band.
struct FallingBands {
  const Phase& phase;
  PhasePoint start;     // the end of the last band closed, theta at it to rounding
  double first_index;   // the band index of the band after it
  double h0;

  // The band k after `start` (k = 0 the next one), or empty.
  std::optional<double> integral(long k) const {
    const double index = first_index - static_cast<double>(k);
    const auto a = k == 0 ? std::optional<double>(start.t) : crossing(phase, start, (index + 1.0) * pi);
    const auto b = crossing(phase, start, index * pi);
    if (!a || !b || !(*b > *a)) return std::nullopt;
    return band(phase, *a, *b, std::fmax(h0, *a));
  }
};

// Bands in a row whose integrals' differences the series' remainder is taken from.
constexpr std::size_t euler_terms = 12;
using Recent = std::array<double, euler_terms + 1>;

// The sum of an alternating series from its first term on, by Euler's transform of the terms
// given (the first ones of it), and the size of the first term left out: sum_m (-1)^m
// Delta^m J / 2^(m+1), J the terms' sizes. Empty unless the terms alternate.
struct Remainder {
  double sum;
  double error;
};

std::optional<Remainder> euler_remainder(const Recent& terms) {
  const double sign = terms[0] < 0.0 ? -1.0 : 1.0;
  Recent sizes{};
  for (std::size_t j = 0; j < terms.size(); ++j) {
    sizes[j] = (j % 2 == 0 ? sign : -sign) * terms[j];
    if (!(sizes[j] > 0.0)) return std::nullopt;
  }
  double sum = 0.0, weight = 0.5;
  for (std::size_t m = 0; m < euler_terms; ++m) {
    sum += (m % 2 == 0 ? weight : -weight) * sizes[0];
    for (std::size_t j = 0; j + m + 1 < sizes.size(); ++j) sizes[j] = sizes[j + 1] - sizes[j];
    weight *= 0.5;
  }
  return Remainder{sign * sum, weight * std::fabs(sizes[0])};
}

// The series summed to its stopping band from `whole`, its sum to infinity: the stopping band is
// the first after `bands` whose size passes the test (a bisection, the sizes falling), or else
// the band limit, and the remainder beyond it Euler's sum of the bands after it. Empty where a
// crossing is not found or that remainder is not resolved.
std::optional<TailResult> leap_to_stop(const FallingBands& ahead, double whole, double p_whole, double resolution,
                                       long bands) {
  // Band `bands + 1 + k` is ahead's band k.
  const auto size_of = [&](long k) -> std::optional<double> {
    const auto value = ahead.integral(k);
    if (!value) return std::nullopt;
    return std::fabs(*value);
  };
  long stop = band_limit - bands - 1;
  auto last = size_of(stop);
  if (!last) return std::nullopt;
  if (settles(*last, p_whole)) {
    long lo = -1;  // band bands itself did not settle
    while (stop - lo > 1) {
      const long mid = lo + (stop - lo) / 2;
      const auto size = size_of(mid);
      if (!size) return std::nullopt;
      (settles(*size, p_whole) ? stop : lo) = mid;
      if (stop == mid) last = size;
    }
  }
  Recent beyond{};
  for (std::size_t j = 0; j < beyond.size(); ++j) {
    const auto value = ahead.integral(stop + 1 + static_cast<long>(j));
    if (!value) return std::nullopt;
    beyond[j] = *value;
  }
  const auto from_stop = euler_remainder(beyond);
  if (!from_stop || !(from_stop->error <= resolution)) return std::nullopt;
  return inversion_result(whole - from_stop->sum, *last);
}

// Once the phase falls for good, the bands' integrals alternate in sign and shrink smoothly: a
// band's size, about 2 prod_j (1 + x_j^2)^(-1/4) / (t |theta'|), falls as t grows (theta'
// only steepens), and its differences from band to band fall faster still. The series can then leap to the band where the band-by-band sum would stop, with the
// same sum and the same last band, however far off that band lies: the remainder from the last
// bands closed on is Euler's sum of those `terms`, resolved far below what the stopping test can
// see, and the stopping band and the remainder beyond it come from bands located directly, each
// by its own crossings (leap_to_stop). `sum` holds the bands closed so far, the last of them
// `terms`. Not `ready` while the differences are not yet small enough; with no result the
// band-by-band sum goes on.
struct Leap {
  bool ready;
  std::optional<TailResult> result;
};

Leap leap(const FallingBands& ahead, double sum, long bands, const Recent& terms) {
  const auto from_recent = euler_remainder(terms);
  if (!from_recent) return {false, std::nullopt};
  double before = sum;
  for (const double term : terms) before -= term;
  const double whole = before + from_recent->sum;
  const double p_whole = whole / pi + 0.5;
  const double resolution = 1e-3 * stopping_share * pi * std::fabs(p_whole);
  if (!(from_recent->error <= resolution)) return {false, std::nullopt};
  return {true, leap_to_stop(ahead, whole, p_whole, resolution, bands)};
}

// P(Q > q) = 1/2 + (1/pi) * integral of f over (0, infinity), summed band by band between
// the zeros of f until the last band no longer moves the sum, or the band limit. A series that
// settles slowly (one weight far above the rest leaves f falling only like t^(-3/2)) leaps
// there once its bands alternate smoothly, instead of closing tens of thousands of them.
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
  // Steps by the tangent go no further than this, well short of overflow.
  const double reach_cap = h_max * 0x1p+20;

  double t = 0.0;
  double theta_t = 0.0;
  double h = h0;
  double sum = 0.0;
  double last = infinity;
  long bands = 0;
  Recent recent{};     // the last bands' integrals
  bool leapt = false;  // a leap was tried once ready
  for (;;) {
    const double a = t;
    const double h_a = h;
    // Step ahead until the band index changes; a band never closed contributes nothing.
    PhasePoint inside{t, theta_t};
    PhasePoint beyond{};
    bool found = false;
    for (int steps = 1; steps <= 8000; ++steps) {
      const double t_next = step_ahead(phase, current, inside, h, reach_cap) + t;
      if (!std::isfinite(t_next)) break;
      beyond = phase_point(phase, t_next);
      if (beyond.index() != current) {
        found = true;
        break;
      }
      h = std::fmin(h * 1.05, h_max);
      t = t_next;
      inside = beyond;
    }
    if (!found) break;

    const BandEnd end = band_end(phase, current, inside, beyond);
    const double b = end.at;
    // Panels graded from h0 serve the band at the origin. The integrand's only singularities
    // are the branch points +-i / (2 w_j), each at least t from a real point t, so they lie
    // three radii or more from the middle of a panel no wider than its start, where the error
    // of 20 Gauss-Legendre points falls like (3 + sqrt 8)^-40, far below rounding: far out a
    // band is one panel, not one per doubling of h0.
    const double integral = band(phase, a, b, std::fmax(h0, a));
    current = end.next;
    sum = sum + integral;
    last = std::fabs(integral);
    bands += 1;
    h = std::fmin(std::fmax(b - a, h_a), h_max);
    t = b;
    theta_t = end.level;  // to rounding
    if (bands >= 5 && (settles(last, sum / pi + 0.5) || bands == band_limit)) break;
    std::copy(recent.begin() + 1, recent.end(), recent.begin());
    recent.back() = integral;
    if (!leapt && bands > static_cast<long>(euler_terms) && slope(phase, b) < 0.0) {
      const Leap ahead = leap({phase, {b, end.level}, current, h0}, sum, bands, recent);
      if (ahead.result) return *ahead.result;
      leapt = ahead.ready;
    }
  }

  return inversion_result(sum, last);
}

}  // namespace

double gauss_panel(std::span<const double> weights, double a, double b, double q) {
  return panel(plain_phase(weights, q), a, b);
}

double graded_band(std::span<const double> weights, double a, double b, double q, double h0) {
  return band(plain_phase(weights, q), a, b, h0);
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
  const Scaled scaled = at_unit_scale(std::move(kept), q);
  return gil_pelaez(scaled.weights, scaled.q);
}

}  // namespace kestrune::mixture_tail
