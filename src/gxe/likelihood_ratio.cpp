#include "gxe/likelihood_ratio.hpp"

#include "numerics/deviance.hpp"

namespace kestrune::gxe {

double test_p_value(std::string_view reference, double statistic) {
  using deviance::chi2_upper_tail;
  if (reference == "mixture_50_50") return deviance::p_value(statistic);
  if (statistic < 1e-6) return 1.0;
  const double p = reference == "chi2_1"                  ? chi2_upper_tail(statistic, 1.0)
                   : reference == "mixture_chi2_2_chi2_3" ? 0.5 * chi2_upper_tail(statistic, 2.0) +
                                                                0.5 * chi2_upper_tail(statistic, 3.0)
                                                          : 0.5 * chi2_upper_tail(statistic, 2.0) +
                                                                0.5 * chi2_upper_tail(statistic, 1.0);
  return p < 0.0 ? 0.0 : p > 1.0 ? 1.0 : p;
}

GxeTestRecord likelihood_ratio_record(std::string_view reference, double null_loglik, double full_loglik) {
  const double difference = 2.0 * (full_loglik - null_loglik);
  const double statistic = difference > 0.0 ? difference : 0.0;
  return GxeTestRecord{reference, statistic, test_p_value(reference, statistic), null_loglik, full_loglik};
}

}  // namespace kestrune::gxe
