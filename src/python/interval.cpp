#include "python/interval.hpp"

#include "python/build.hpp"

namespace kestrune::python {

Fallible<Owned> make_interval_tuple(const interval::ProfileInterval& record) {
  return make_tuple(make_optional(record.estimate, make_float), make_float(record.lower), make_float(record.upper),
                    make_bool(record.lower_limited), make_bool(record.upper_limited), make_float(record.level),
                    make_uint(record.profile_failures), make_optional(record.contains_lower_bound, make_bool),
                    make_optional(record.contains_upper_bound, make_bool));
}

}  // namespace kestrune::python
