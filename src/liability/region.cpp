#include "liability/region.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <numbers>
#include <numeric>
#include <vector>

namespace kestrune::liability {
namespace {

constexpr double inverse_sqrt_two_pi = 0.3989422804014327;
constexpr double two_pi = 2.0 * std::numbers::pi;
constexpr double probability_floor = 1e-300;
constexpr double correlation_limit = 0.999999;

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

// ln max(p, 1e-300); a NaN p takes the floor.
double floored_log(double p) { return std::log(p > probability_floor ? p : probability_floor); }

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

double bivariate_normal_cdf(double a, double b, double rho) {
  if (std::isnan(a) || std::isnan(b) || !std::isfinite(rho)) return std::nan("");
  if (a <= -10.0 || b <= -10.0) return 0.0;
  if (a >= 10.0) return normal_cdf(b);
  if (b >= 10.0) return normal_cdf(a);
  const double pa = normal_cdf(a);
  const double pb = normal_cdf(b);
  if (std::fabs(rho) <= 1e-12) return pa * pb;
  const double r = std::clamp(rho, -correlation_limit, correlation_limit);
  const double value = upper_orthant(-a, -b, r);
  return std::clamp(value, std::fmax(0.0, pa + pb - 1.0), std::fmin(pa, pb));
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
  if (n == 1) return floored_log(normal_cdf(z[0]));

  Eigen::MatrixXd r = Eigen::MatrixXd::Identity(n, n);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = i + 1; j < n; ++j) {
      const double value =
          sign[i] * sign[j] * covariance(i, j) / std::sqrt(covariance(i, i) * covariance(j, j));
      if (!std::isfinite(value)) return std::nullopt;
      r(i, j) = r(j, i) = std::clamp(value, -correlation_limit, correlation_limit);
    }
  }
  if (n == 2) return floored_log(bivariate_normal_cdf(z[0], z[1], r(0, 1)));

  return sequential_conditioning(z, r, conditioning_order(sign));
}

}  // namespace kestrune::liability
