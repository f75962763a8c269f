#include "numerics/region.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <numbers>
#include <numeric>
#include <vector>

namespace kestrune::region {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double inverse_sqrt_two_pi = 0.3989422804014327;
constexpr double two_pi = 2.0 * std::numbers::pi;
constexpr double half_log_two_pi = 0.9189385332046727;
constexpr double probability_floor = 1e-300;
constexpr double log_floor = -690.7755278982137;
constexpr double correlation_limit = 0.999999;
// Below this Phi(x) leaves the normal range of a double and the Mills-ratio series takes over;
// its eight terms are exact to rounding from here down.
constexpr double series_below = -37.5;
// Inside (-10, 10)^2 the quadrature rules below are accurate to about 1e-15 absolute, so a
// probability between these bounds has its logarithm to 1e-9 relative or better.
constexpr double fast_limit = 10.0;
constexpr double fast_low = 1e-6;
constexpr double fast_high = 1.0 - 1e-6;

// Half of a Gauss-Legendre rule on [-1, 1]: the negative nodes and their weights.
template <std::size_t N>
struct HalfRule {
  std::array<double, N> node;
  std::array<double, N> weight;
};

constexpr HalfRule<3> rule_6{{-0.9324695142031519, -0.6612093864662645, -0.2386191860831969},
                             {0.17132449237917027, 0.3607615730481387, 0.46791393457269104}};
constexpr HalfRule<6> rule_12{
    {-0.9815606342467192, -0.9041172563704748, -0.7699026741943047, -0.5873179542866175,
     -0.3678314989981802, -0.1252334085114689},
    {0.04717533638651141, 0.10693932599531907, 0.16007832854334642, 0.20316742672306573,
     0.2334925365383546, 0.2491470458134027}};
constexpr HalfRule<10> rule_20{
    {-0.993128599185095, -0.9639719272779138, -0.912234428251326, -0.8391169718222188,
     -0.7463319064601508, -0.636053680726515, -0.5108670019508271, -0.37370608871541955,
     -0.22778585114164507, -0.07652652113349734},
    {0.017614007139150893, 0.040601429800386446, 0.06267204833410879, 0.08327674157670471,
     0.1019301198172407, 0.1181945319615186, 0.1316886384491769, 0.1420961093183824,
     0.14917298647260424, 0.15275338713072628}};

// Moderate correlation: Plackett's identity integrated over the arcsine of the correlation
// (Drezner and Wesolowsky), the rule sized to |r| as in Genz (2004).
template <std::size_t N>
double upper_moderate(double h, double k, double r, const HalfRule<N>& rule) {
  const double hk = h * k;
  const double hs = (h * h + k * k) / 2.0;
  const double asr = std::asin(r);
  double sum = 0.0;
  for (std::size_t i = 0; i < N; ++i) {
    for (const double side : {1.0, -1.0}) {
      const double sn = std::sin(asr * (side * rule.node[i] + 1.0) / 2.0);
      sum += rule.weight[i] * std::exp((sn * hk - hs) / (1.0 - sn * sn));
    }
  }
  return sum * asr / (2.0 * two_pi) + normal_cdf(-h) * normal_cdf(-k);
}

// Strong correlation: the singular part at |r| = 1 taken out in closed form, the remainder by
// the 20-point rule in the variable sqrt(1 - r^2) (Genz 2004).
double upper_strong(double h, double k, double r) {
  if (r < 0.0) k = -k;
  const double hk = h * k;
  const double as = (1.0 - r) * (1.0 + r);
  double a = std::sqrt(as);
  const double bs = (h - k) * (h - k);
  const double c = (4.0 - hk) / 8.0;
  const double d = (12.0 - hk) / 16.0;
  double bvn = a * std::exp(-(bs / as + hk) / 2.0) *
               (1.0 - c * (bs - as) * (1.0 - d * bs / 5.0) / 3.0 + c * d * as * as / 5.0);
  if (hk > -160.0) {
    const double b = std::sqrt(bs);
    bvn -= std::exp(-hk / 2.0) * std::sqrt(two_pi) * normal_cdf(-b / a) * b *
           (1.0 - c * bs * (1.0 - d * bs / 5.0) / 3.0);
  }
  a /= 2.0;
  for (std::size_t i = 0; i < rule_20.node.size(); ++i) {
    for (const double side : {1.0, -1.0}) {
      const double xs = (a * (side * rule_20.node[i] + 1.0)) * (a * (side * rule_20.node[i] + 1.0));
      const double rs = std::sqrt(1.0 - xs);
      bvn += a * rule_20.weight[i] * std::exp(-(bs / xs + hk) / 2.0) *
             (std::exp(-hk * (1.0 - rs) / (2.0 * (1.0 + rs))) / rs - (1.0 + c * xs * (1.0 + d * xs)));
    }
  }
  bvn = -bvn / two_pi;
  if (r > 0.0) return bvn + normal_cdf(-std::fmax(h, k));
  bvn = -bvn;
  if (k > h) bvn += h < 0.0 ? normal_cdf(k) - normal_cdf(h) : normal_cdf(-h) - normal_cdf(-k);
  return bvn;
}

// P(X > h, Y > k) for finite h, k and 0 < |r| < 1.
double upper_orthant(double h, double k, double r) {
  const double magnitude = std::fabs(r);
  if (magnitude < 0.3) return upper_moderate(h, k, r, rule_6);
  if (magnitude < 0.75) return upper_moderate(h, k, r, rule_12);
  if (magnitude < 0.925) return upper_moderate(h, k, r, rule_20);
  return upper_strong(h, k, r);
}

// A log-probability floored at ln 1e-300; NaN takes the floor.
double floored(double log_p) { return log_p > log_floor ? log_p : log_floor; }

// 1 - 1/x^2 + 3/x^4 - ...: Phi(x) = phi(x) / |x| times this, for x far below 0.
double mills_series(double x) {
  const double w = 1.0 / (x * x);
  double term = 1.0;
  double sum = 1.0;
  for (int k = 1; k <= 8; ++k) {
    term *= -(2.0 * k - 1.0) * w;
    sum += term;
  }
  return sum;
}

// phi(x) / Phi(x), the slope of ln Phi.
double inverse_mills(double x) {
  if (x >= series_below) return std::exp(-0.5 * x * x) * inverse_sqrt_two_pi / normal_cdf(x);
  return -x / mills_series(x);
}

// Gauss-Kronrod 7-15: nodes on [0, 1) of the half rule, descending; the Gauss weights belong to
// the odd nodes and the centre.
constexpr std::array<double, 8> kronrod_node{0.9914553711208126, 0.9491079123427585, 0.8648644233597691,
                                             0.7415311855993945, 0.5860872354676911, 0.4058451513773972,
                                             0.2077849550078985, 0.0};
constexpr std::array<double, 8> kronrod_weight{0.02293532201052922, 0.06309209262997855, 0.1047900103222502,
                                               0.1406532597155259, 0.1690047266392679, 0.1903505780647854,
                                               0.2044329400752989, 0.2094821410847278};
constexpr std::array<double, 4> gauss_weight{0.1294849661688697, 0.2797053914892767, 0.3818300505051189,
                                             0.4179591836734694};

struct Piece {
  double low;
  double high;
  double value;
  double error;
};

template <class F>
Piece gauss_kronrod(const F& f, double low, double high) {
  const double centre = 0.5 * (low + high);
  const double half = 0.5 * (high - low);
  const double middle = f(centre);
  double kronrod = kronrod_weight[7] * middle;
  double gauss = gauss_weight[3] * middle;
  for (std::size_t i = 0; i < 7; ++i) {
    const double pair = f(centre - half * kronrod_node[i]) + f(centre + half * kronrod_node[i]);
    kronrod += kronrod_weight[i] * pair;
    if (i % 2 == 1) gauss += gauss_weight[i / 2] * pair;
  }
  return {low, high, kronrod * half, std::fabs((kronrod - gauss) * half)};
}

// The integral of a smooth positive f over consecutive pieces between the breaks, splitting the
// piece with the largest error estimate until the estimates sum to 1e-13 of the value.
template <class F>
double adaptive_integral(const F& f, const std::vector<double>& breaks) {
  std::vector<Piece> pieces;
  for (std::size_t i = 0; i + 1 < breaks.size(); ++i) pieces.push_back(gauss_kronrod(f, breaks[i], breaks[i + 1]));
  for (int split = 0; split < 400; ++split) {
    double value = 0.0;
    double error = 0.0;
    std::size_t worst = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      value += pieces[i].value;
      error += pieces[i].error;
      if (pieces[i].error > pieces[worst].error) worst = i;
    }
    if (!(error > 1e-13 * value)) break;
    const Piece piece = pieces[worst];
    const double middle = 0.5 * (piece.low + piece.high);
    pieces[worst] = gauss_kronrod(f, piece.low, middle);
    pieces.push_back(gauss_kronrod(f, middle, piece.high));
  }
  double value = 0.0;
  for (const Piece& piece : pieces) value += piece.value;
  return value;
}

// ln P(X <= a, Y <= b) as ln of the integral over x <= a of phi(x) Phi((b - r x) / s), for any
// finite limits. The integrand's logarithm l(x) = -x^2/2 + ln Phi(u(x)) is concave with
// l'' <= -1, so the integrand has one mode and falls from it at least as fast as a standard
// normal density: it is integrated relative to its mode, on pieces that double in width away
// from it, and the result keeps its relative accuracy however small it is.
double log_lower_orthant(double a, double b, double r) {
  const double s = std::sqrt((1.0 - r) * (1.0 + r));
  const auto u = [&](double x) { return (b - r * x) / s; };
  const auto log_f = [&](double x) { return -0.5 * x * x + log_normal_cdf(u(x)); };
  const auto slope = [&](double x) { return -x - r / s * inverse_mills(u(x)); };
  const auto curvature = [&](double x) {
    const double l = inverse_mills(u(x));
    return -1.0 - (r / s) * (r / s) * l * (u(x) + l);
  };

  // The mode: a itself while the integrand still rises there, else the root of the slope.
  double mode = a;
  if (slope(a) < 0.0) {
    double high = a;
    double low = a - 1.0;
    for (double step = 2.0; slope(low) < 0.0; step *= 2.0) {
      high = low;
      low = a - step;
    }
    mode = 0.5 * (low + high);
    for (int i = 0; i < 100 && high - low > 1e-12 * std::fmax(1.0, std::fabs(mode)); ++i) {
      const double g = slope(mode);
      if (g == 0.0) break;
      (g > 0.0 ? low : high) = mode;
      const double next = mode - g / curvature(mode);
      mode = next > low && next < high ? next : 0.5 * (low + high);
    }
  }
  const double peak = log_f(mode);
  if (!std::isfinite(peak)) return peak;

  // From the mode the integrand falls at least as exp(-g t - t^2 / 2), g its slope there
  // (0 inside): beyond a width where that reaches e^-50 nothing is left to count.
  const double g = std::fmax(slope(mode), 0.0);
  const double left = -g + std::sqrt(g * g + 100.0);
  const double right = std::fmin(a - mode, 10.0);
  const double scale = 1.0 / std::fmax(g, std::sqrt(-curvature(mode)));
  std::vector<double> breaks{mode};
  for (double width = scale; width < left; width *= 2.0) breaks.push_back(mode - width);
  breaks.push_back(mode - left);
  std::ranges::reverse(breaks);
  if (right > 0.0) {
    for (double width = scale; width < right; width *= 2.0) breaks.push_back(mode + width);
    breaks.push_back(mode + right);
  }
  const double integral = adaptive_integral([&](double x) { return std::exp(log_f(x) - peak); }, breaks);
  return peak + std::log(integral) - half_log_two_pi;
}

// Whether P(X <= a, Y <= b) equals Phi(b) to the rounding of its logarithm: it lies between
// Phi(b) - Phi(-a) and Phi(b).
bool limit_is_moot(double a, double b) {
  const double log_other = log_normal_cdf(b);
  return log_normal_cdf(-a) < log_other + std::log(-log_other) - 40.0;
}

// The n >= 3 region: z standardised, r their correlations, updated in place; the k-th step
// conditions on coordinate order[k].
std::optional<double> sequential_conditioning(std::span<const double> z, Eigen::MatrixXd& r,
                                              const std::vector<Eigen::Index>& order) {
  const Eigen::Index n = r.rows();
  const auto s = [&](Eigen::Index a, Eigen::Index b) -> double& { return r(order[a], order[b]); };
  std::vector<double> shift(static_cast<std::size_t>(n), 0.0);
  double total = 0.0;
  for (Eigen::Index k = 0; k < n; ++k) {
    const double v = s(k, k);
    if (!std::isfinite(v) || !(v > 0.0)) return std::nullopt;
    const double root = std::sqrt(v);
    const double t = (z[order[k]] - shift[k]) / root;
    const double p = std::clamp(normal_cdf(t), probability_floor, 1.0);
    const double log_p = std::log(p);
    const double density = std::exp(-(t * t) / 2.0) * inverse_sqrt_two_pi;
    if (density != 0.0) {
      const double lambda = density / p;
      if (!std::isfinite(lambda)) return std::nullopt;
      const double delta = std::clamp(1.0 - t * lambda - lambda * lambda, 1e-12, 1.0);
      if (k + 1 < n) {
        const double c1 = -lambda / root;
        const double c2 = (delta - 1.0) / v;
        for (Eigen::Index j = k + 1; j < n; ++j) shift[j] += c1 * s(j, k);
        for (Eigen::Index i = k + 1; i < n; ++i) {
          for (Eigen::Index j = k + 1; j <= i; ++j) {
            s(i, j) = s(i, j) + c2 * s(i, k) * s(j, k);
            s(j, i) = s(i, j);
          }
        }
      }
    }
    total += log_p;
  }
  if (!std::isfinite(total)) return std::nullopt;
  return total;
}

}  // namespace

std::vector<Eigen::Index> conditioning_order(std::span<const double> sign) {
  const auto n = static_cast<Eigen::Index>(sign.size());
  const auto positives = std::ranges::count_if(sign, [](double s) { return s > 0.0; });
  const bool above_first = 2 * positives <= n;
  std::vector<Eigen::Index> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), Eigen::Index{0});
  std::ranges::stable_sort(order, {}, [&](Eigen::Index i) { return (sign[i] > 0.0) != above_first; });
  return order;
}

double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }

double log_normal_cdf(double x) {
  if (x > 0.0) return std::log1p(-normal_cdf(-x));
  if (x >= series_below || std::isnan(x)) return std::log(normal_cdf(x));
  return -0.5 * x * x - std::log(-x) - half_log_two_pi + std::log(mills_series(x));
}

double log_bivariate_normal_cdf(double a, double b, double rho) {
  if (std::isnan(a) || std::isnan(b) || !std::isfinite(rho)) return std::nan("");
  if (a == -infinity || b == -infinity) return -infinity;
  if (a == infinity) return log_normal_cdf(b);
  if (b == infinity) return log_normal_cdf(a);
  if (std::fabs(rho) <= 1e-12) return log_normal_cdf(a) + log_normal_cdf(b);
  const double r = std::clamp(rho, -correlation_limit, correlation_limit);
  if (std::fabs(a) < fast_limit && std::fabs(b) < fast_limit) {
    const double pa = normal_cdf(a);
    const double pb = normal_cdf(b);
    const double p = std::clamp(upper_orthant(-a, -b, r), std::fmax(0.0, pa + pb - 1.0), std::fmin(pa, pb));
    if (p >= fast_low && p <= fast_high) return std::log(p);
  }
  if (limit_is_moot(a, b)) return log_normal_cdf(b);
  if (limit_is_moot(b, a)) return log_normal_cdf(a);
  // A limit below 0 keeps the probability under one half: integrate it. Otherwise it is at least
  // 1/4 - asin(0.999999) / (2 pi), and its complement P(X > a) + P(X <= a, Y > b) is the sum of
  // two positive terms.
  if (std::fmin(a, b) < 0.0) return log_lower_orthant(a, b, r);
  return std::log1p(-(normal_cdf(-a) + std::exp(log_lower_orthant(a, -b, -r))));
}

std::optional<double> region_log_probability(std::span<const double> mean,
                                             std::span<const double> sign,
                                             const Eigen::Ref<const Eigen::MatrixXd>& covariance) {
  const auto n = static_cast<Eigen::Index>(mean.size());
  std::vector<double> z(mean.size());
  for (Eigen::Index i = 0; i < n; ++i) {
    const double c = covariance(i, i);
    if (!std::isfinite(c) || !(c > 0.0)) return std::nullopt;
    z[i] = sign[i] * mean[i] / std::sqrt(c);
  }
  if (n == 0) return 0.0;
  if (n == 1) return floored(log_normal_cdf(z[0]));

  Eigen::MatrixXd r = Eigen::MatrixXd::Identity(n, n);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = i + 1; j < n; ++j) {
      const double value =
          sign[i] * sign[j] * covariance(i, j) / std::sqrt(covariance(i, i) * covariance(j, j));
      if (!std::isfinite(value)) return std::nullopt;
      r(i, j) = r(j, i) = std::clamp(value, -correlation_limit, correlation_limit);
    }
  }
  if (n == 2) return floored(log_bivariate_normal_cdf(z[0], z[1], r(0, 1)));

  return sequential_conditioning(z, r, conditioning_order(sign));
}

}  // namespace kestrune::region
