// The checks the binary and censored trait models make of a relationship matrix's pairs.
#pragma once

#include <algorithm>

#include <Eigen/Core>

namespace kestrune::relationship_checks {

// Entries of a pair may differ by this much and still count as symmetric.
inline constexpr double symmetry_tolerance = 1e-10;
// An off-diagonal entry beyond this in magnitude is too close a relationship to separate the
// genetic from the residual part.
inline constexpr double closeness_limit = 0.9;

// Whether some pair (i < j) holds for test(a(i, j), a(j, i)), tile by tile so that the
// transposed reads stay in cache.
template <class Test>
bool any_pair(const Eigen::Ref<const Eigen::MatrixXd>& a, Test test) {
  constexpr Eigen::Index tile = 64;
  const Eigen::Index n = a.rows();
  for (Eigen::Index j0 = 0; j0 < n; j0 += tile) {
    for (Eigen::Index i0 = 0; i0 <= j0; i0 += tile) {
      const Eigen::Index j1 = std::min(j0 + tile, n);
      const Eigen::Index i1 = std::min(i0 + tile, n);
      for (Eigen::Index j = j0; j < j1; ++j) {
        for (Eigen::Index i = i0; i < std::min(i1, j); ++i) {
          if (test(a(i, j), a(j, i))) return true;
        }
      }
    }
  }
  return false;
}

// Whether a(i, j) == a(j, i) for every pair, with no tolerance.
bool exactly_symmetric(const Eigen::Ref<const Eigen::MatrixXd>& a);

enum class PairFault { none, asymmetric, too_close };

// Every pair tested for symmetry first, then every off-diagonal entry for closeness.
PairFault symmetry_then_closeness(const Eigen::Ref<const Eigen::MatrixXd>& a);

// Pair by pair, row i ascending and within it column j < i ascending, both tests on a pair
// before the next pair: the first pair with a fault decides it.
PairFault pair_by_pair(const Eigen::Ref<const Eigen::MatrixXd>& a);

}  // namespace kestrune::relationship_checks
