// The tuple every likelihood-ratio test entry point returns.
#pragma once

#include <string_view>

#include "python/owned.hpp"

namespace kestrune::python {

// (statistic, p_value, reference distribution, null log-likelihood, full log-likelihood).
Fallible<Owned> make_test_tuple(double statistic, double p_value, std::string_view reference,
                                double null_loglik, double full_loglik);

}  // namespace kestrune::python
