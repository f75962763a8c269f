#include "blocks.hpp"

#include <algorithm>

namespace kestrune::blocks {

std::vector<Block> family_blocks(const Eigen::Ref<const Eigen::MatrixXd>& k) {
  const auto n = static_cast<std::size_t>(k.rows());
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
        const double link = k(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j));
        if (link != 0.0) {  // NaN compares unequal, so it links
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

}  // namespace kestrune::blocks
