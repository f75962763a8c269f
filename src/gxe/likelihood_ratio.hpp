// What the two environment models share of a likelihood-ratio test: its record, the p-value
// of its statistic and the statistic itself.
#pragma once

#include <string_view>

namespace kestrune::gxe {

// The p-value of a test statistic against its reference: 1 below 1e-6, else the upper tail of
// "chi2_1", half of it ("mixture_50_50"), the even mixture of the tails on two and on three
// degrees of freedom ("mixture_chi2_2_chi2_3"), or on two and on one (under either of its
// names, "half_chi2_1_half_chi2_2" or "mixture_chi2_1_chi2_2"), clamped to [0, 1].
double test_p_value(std::string_view reference, double statistic);

struct GxeTestRecord {
  std::string_view reference;  // one of the references test_p_value knows
  double statistic = 0.0;
  double p_value = 1.0;
  double null_loglik = 0.0;
  double full_loglik = 0.0;
};

// The test of a null fit against the full fit: the statistic 2 (full - null), with a
// negative, negative-zero or NaN difference reported as +0, and its p-value.
GxeTestRecord likelihood_ratio_record(std::string_view reference, double null_loglik, double full_loglik);

}  // namespace kestrune::gxe
