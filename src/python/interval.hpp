// The tuple every profile-interval entry point returns.
#pragma once

#include "numerics/interval.hpp"
#include "python/owned.hpp"

namespace kestrune::python {

// (estimate, lower, upper, lower_limited, upper_limited, level, failed refits,
//  lower bound inside, upper bound inside); an absent estimate or flag is None.
Fallible<Owned> make_interval_tuple(const interval::ProfileInterval& record);

}  // namespace kestrune::python
