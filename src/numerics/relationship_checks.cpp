#include "numerics/relationship_checks.hpp"

#include <cmath>

namespace kestrune::relationship_checks {
namespace {

bool asymmetric(double upper, double lower) { return std::fabs(upper - lower) > symmetry_tolerance; }
bool too_close(double entry) { return std::fabs(entry) > closeness_limit; }

bool any_asymmetric(const Eigen::Ref<const Eigen::MatrixXd>& a) { return any_pair(a, asymmetric); }

bool any_too_close(const Eigen::Ref<const Eigen::MatrixXd>& a) {
  return any_pair(a, [](double upper, double lower) { return too_close(upper) || too_close(lower); });
}

}  // namespace

bool exactly_symmetric(const Eigen::Ref<const Eigen::MatrixXd>& a) {
  return !any_pair(a, [](double upper, double lower) { return upper != lower; });
}

PairFault symmetry_then_closeness(const Eigen::Ref<const Eigen::MatrixXd>& a) {
  if (any_asymmetric(a)) return PairFault::asymmetric;
  if (any_too_close(a)) return PairFault::too_close;
  return PairFault::none;
}

PairFault pair_by_pair(const Eigen::Ref<const Eigen::MatrixXd>& a) {
  // The fast scans find whether there is a fault; only then does the order matter.
  if (!any_asymmetric(a) && !any_too_close(a)) return PairFault::none;
  for (Eigen::Index i = 0; i < a.rows(); ++i) {
    for (Eigen::Index j = 0; j < i; ++j) {
      if (asymmetric(a(i, j), a(j, i))) return PairFault::asymmetric;
      if (too_close(a(i, j))) return PairFault::too_close;
    }
  }
  return PairFault::none;
}

}  // namespace kestrune::relationship_checks
