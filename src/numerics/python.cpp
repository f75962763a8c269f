#include "numerics/python.hpp"

#include <vector>

#include "numerics/mixture_tail.hpp"
#include "python/arguments.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/entry.hpp"

namespace kestrune::mixture_tail::python {
namespace {

using namespace kestrune::python;

constexpr auto tail_signature =
    signature("weighted_chi2_upper_tail", required("q"), required("weights"));

constexpr const char* tail_doc =
    "weighted_chi2_upper_tail(q, weights)\n--\n\n"
    "The upper tail of a weighted sum of chi-squares on one degree of freedom.\n\n"
    "`weights` are the eigenvalues of the tested matrix after projection, so\n"
    "they are nonnegative. Returns the probability, which recipe answered, how\n"
    "far the series had settled, and whether cancellation has left enough digits\n"
    "for the value to be read as a probability.";

Fallible<Owned> py_weighted_chi2_upper_tail(const Arguments<2>& arguments) {
  const auto q = extract(arguments[0], as_float);
  if (!q) return std::unexpected(q.error());
  const auto weights = extract(arguments[1], as_float_list);
  if (!weights) return std::unexpected(weights.error());
  const auto tail = weighted_chi2_upper_tail(*weights, *q);
  if (!tail) return std::unexpected(Failure(tail.error()));
  return make_dict(Item{"probability", make_float(tail->probability)},
                   Item{"method", make_str(tail->method)},
                   Item{"settled_to", make_float(tail->settled_to)},
                   Item{"trustworthy", make_bool(tail->trustworthy)});
}

}  // namespace

PyMethodDef weighted_chi2_upper_tail_method() {
  return function<tail_signature, py_weighted_chi2_upper_tail>(tail_doc);
}

}  // namespace kestrune::mixture_tail::python
