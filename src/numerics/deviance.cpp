#include "numerics/deviance.hpp"

#include <boost/math/special_functions/gamma.hpp>
#include <cmath>
#include <limits>

namespace kestrune::deviance {

double gamma_q(double a, double x) {
  if (std::isnan(a) || std::isnan(x) || !(a > 0.0) || x < 0.0 || std::isinf(a)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (std::isinf(x)) return 0.0;  // the whole mass lies below an infinite point
  return boost::math::gamma_q(a, x, NoThrowPolicy{});
}

double p_value(double statistic) {
  if (statistic < 1e-6) return 1.0;
  const double p = 0.5 * gamma_q(0.5, statistic / 2.0);
  if (p < 0.0) return 0.0;
  if (p > 1.0) return 1.0;
  return p;  // NaN passes unchanged
}

double chi2_upper_tail(double x, double df) {
  if (x <= 0.0) return 1.0;
  if (std::fabs(df - 2.0) < 1e-12) return std::exp(-x / 2.0);
  return gamma_q(df / 2.0, x / 2.0);
}

}  // namespace kestrune::deviance
