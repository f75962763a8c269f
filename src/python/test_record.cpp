#include "python/test_record.hpp"

#include "python/build.hpp"

namespace kestrune::python {

Fallible<Owned> make_test_tuple(double statistic, double p_value, std::string_view reference,
                                double null_loglik, double full_loglik) {
  return make_tuple(make_float(statistic), make_float(p_value), make_str(reference), make_float(null_loglik),
                    make_float(full_loglik));
}

}  // namespace kestrune::python
