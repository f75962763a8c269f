#include "numerics/relationship_checks.hpp"

namespace kestrune::relationship_checks {

PairFault symmetry_then_closeness(const matrix_scan::Findings& found) {
  if (!found.symmetric) return PairFault::asymmetric;
  if (found.too_close) return PairFault::too_close;
  return PairFault::none;
}

PairFault pair_by_pair(const matrix_scan::Findings& found) {
  // On the same pair the symmetry test comes first.
  if (found.first_asymmetric && (!found.first_too_close || !(*found.first_too_close < *found.first_asymmetric)))
    return PairFault::asymmetric;
  if (found.first_too_close) return PairFault::too_close;
  return PairFault::none;
}

}  // namespace kestrune::relationship_checks
