// The tuple every profile-interval entry returns.
#pragma once

#include "numerics/interval.hpp"
#include "python/owned.hpp"

namespace kestrune::python {

// (estimate, lower, upper, lower_limited, upper_limited, level, profile failures,
// contains_lower_bound, contains_upper_bound); an absent estimate or flag is None.
Fallible<Owned> make_interval_tuple(const interval::ProfileInterval& record);

}  // namespace kestrune::python
