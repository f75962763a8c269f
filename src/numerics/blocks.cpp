#include "numerics/blocks.hpp"

#include <algorithm>

namespace kestrune::blocks {

namespace {

// Connected components of the links of n members; linked(i, j) is read only for j != i not
// yet visited, while member i is expanded.
template <class Linked>
std::vector<Block> components(std::size_t n, Linked linked) {
  std::vector<Block> families;
  std::vector<unsigned char> visited(n, 0);
  std::vector<std::size_t> stack;
  for (std::size_t start = 0; start < n; ++start) {
    if (visited[start]) continue;
    // Every index below start is visited already, so start is the family's smallest
    // member and the list comes out ordered by it.
    visited[start] = 1;
    stack.assign(1, start);
    Block family;
    while (!stack.empty()) {
      const std::size_t i = stack.back();
      stack.pop_back();
      family.push_back(i);
      for (std::size_t j = 0; j < n; ++j) {
        if (j == i || visited[j]) continue;
        if (linked(i, j)) {
          visited[j] = 1;
          stack.push_back(j);
        }
      }
    }
    std::sort(family.begin(), family.end());
    families.push_back(std::move(family));
  }
  return families;
}

}  // namespace

// Tile by tile, so that the transposed reads stay in cache.
bool is_symmetric(const Eigen::Ref<const Eigen::MatrixXd>& k) {
  constexpr Eigen::Index tile = 64;
  const Eigen::Index n = k.rows();
  for (Eigen::Index j0 = 0; j0 < n; j0 += tile) {
    for (Eigen::Index i0 = 0; i0 <= j0; i0 += tile) {
      const Eigen::Index j1 = std::min(j0 + tile, n);
      const Eigen::Index i1 = std::min(i0 + tile, n);
      for (Eigen::Index j = j0; j < j1; ++j) {
        for (Eigen::Index i = i0; i < std::min(i1, j); ++i) {
          if (k(i, j) != k(j, i)) return false;
        }
      }
    }
  }
  return true;
}

std::vector<Block> family_blocks(const Eigen::Ref<const Eigen::MatrixXd>& k) {
  // NaN compares unequal to zero, so it links; -0.0 does not.
  return components(static_cast<std::size_t>(k.rows()), [&](std::size_t i, std::size_t j) {
    return k(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) != 0.0;
  });
}

std::vector<Block> family_blocks_symmetric(const Eigen::Ref<const Eigen::MatrixXd>& k) {
  return components(static_cast<std::size_t>(k.rows()), [&](std::size_t i, std::size_t j) {
    return k(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(i)) != 0.0;
  });
}

}  // namespace kestrune::blocks
