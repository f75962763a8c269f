// The order of a family's members that a sequential approximation takes them in, decided by
// who they are rather than by where the caller listed them.
#pragma once

#include <Eigen/Core>

#include "numerics/blocks.hpp"
#include "numerics/matrix_scan.hpp"

namespace kestrune::member_order {

// The members sorted by their rows of `traits` (each person's own data, compared
// lexicographically), then by their relationships within the family (their own entry, then
// their entries with the others in ascending order), then by index for members that tie on
// all of these. Every entry read must be finite.
blocks::Block canonical(const blocks::Block& members, const Eigen::Ref<const Eigen::MatrixXd>& traits,
                        const matrix_scan::Strided& relationship);

}  // namespace kestrune::member_order
