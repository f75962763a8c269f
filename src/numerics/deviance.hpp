// Chi-square upper tails and the p-value of a likelihood-ratio statistic on a boundary.
#pragma once

#include <boost/math/policies/policy.hpp>

namespace kestrune::deviance {

// Boost.Math reports domain errors, poles and overflow as values (NaN, infinity), never
// as exceptions: no C++ exception may reach the interpreter.
using NoThrowPolicy = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::pole_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::underflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::denorm_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<boost::math::policies::ignore_error>,
    boost::math::policies::rounding_error<boost::math::policies::ignore_error>,
    boost::math::policies::indeterminate_result_error<boost::math::policies::ignore_error>>;

// The regularised upper incomplete gamma function Q(a, x) = Gamma(a, x) / Gamma(a);
// NaN outside its domain.
double gamma_q(double a, double x);

// P-value of a statistic whose null lies on the boundary, against the even mixture of a
// point mass at zero and a chi-square on one degree of freedom ("mixture_50_50").
// Statistics below 1e-6 (negative ones included) give exactly 1; NaN gives NaN.
double p_value(double statistic);

// P(chi-square on df degrees of freedom > x); df need not be an integer. Exactly 1 for
// x <= 0, the closed form exp(-x/2) for df within 1e-12 of 2, and 0 at x = +infinity.
double chi2_upper_tail(double x, double df);

}  // namespace kestrune::deviance
