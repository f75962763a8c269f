// The checks the binary and censored trait models make of a relationship matrix's pairs,
// decided from one scan of the matrix.
#pragma once

#include "numerics/matrix_scan.hpp"

namespace kestrune::relationship_checks {

// Entries of a pair may differ by this much and still count as symmetric.
inline constexpr double symmetry_tolerance = 1e-10;
// An off-diagonal entry beyond this in magnitude is too close a relationship to separate the
// genetic from the residual part.
inline constexpr double closeness_limit = 0.9;

// What the scan tests for these models.
inline const matrix_scan::Tests pair_tests{symmetry_tolerance, closeness_limit};

enum class PairFault { none, asymmetric, too_close };

// Every pair tested for symmetry first, then every off-diagonal entry for closeness.
PairFault symmetry_then_closeness(const matrix_scan::Findings& found);

// Pair by pair, row i ascending and within it column j < i ascending, both tests on a pair
// before the next pair: the first pair with a fault decides it.
PairFault pair_by_pair(const matrix_scan::Findings& found);

}  // namespace kestrune::relationship_checks
