#include "numerics/blocks.hpp"

namespace kestrune::blocks {

std::vector<Block> family_blocks(const Eigen::Ref<const Eigen::MatrixXd>& k) {
  // NaN compares unequal to zero, so it links; -0.0 does not.
  return connected_components(static_cast<std::size_t>(k.rows()), [&](std::size_t i, std::size_t j) {
    return k(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) != 0.0;
  });
}

std::vector<Block> family_blocks_symmetric(const Eigen::Ref<const Eigen::MatrixXd>& k) {
  return connected_components(static_cast<std::size_t>(k.rows()), [&](std::size_t i, std::size_t j) {
    return k(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(i)) != 0.0;
  });
}

}  // namespace kestrune::blocks
