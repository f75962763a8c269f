// The tuples several models return for the same records: a profile interval and a
// likelihood-ratio test.
#pragma once

#include <string_view>

#include "numerics/interval.hpp"
#include "python/owned.hpp"

namespace kestrune::python {

// (estimate, lower, upper, lower_limited, upper_limited, level, profile_failures,
//  contains_lower_bound, contains_upper_bound); absent values are None.
Fallible<Owned> make_interval_tuple(const interval::ProfileInterval& record);

// (statistic, p_value, reference, null_loglik, full_loglik).
Fallible<Owned> make_test_tuple(double statistic, double p_value, std::string_view reference,
                                double null_loglik, double full_loglik);

}  // namespace kestrune::python
