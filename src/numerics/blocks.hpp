// Families: the connected components of the nonzero off-diagonal pattern of a matrix.
#pragma once

#include <Eigen/Core>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune::blocks {

// Row indices of one family, strictly ascending.
using Block = std::vector<std::size_t>;

// The connected components of the links among n members, each ascending, ordered by
// smallest member. linked(i, j) is asked only for j != i not yet reached, while i is
// expanded, so it may be any symmetric predicate.
template <class Linked>
std::vector<Block> connected_components(std::size_t n, Linked linked) {
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

// The links among n people met so far, kept as a union-find forest: which people a chain of
// links joins, whichever way each link runs, and whether every link was met from both sides.
class Links {
 public:
  explicit Links(std::size_t n);

  // Joins a and b.
  void join(std::size_t a, std::size_t b);
  // Notes a link met from one side only: a nonzero entry whose mirror is zero.
  void one_sided() noexcept { two_sided_ = false; }
  bool two_sided() const noexcept { return two_sided_; }
  std::size_t size() const noexcept { return parent_.size(); }

  // The people joined by chains of links, each group ascending, ordered by smallest member.
  std::vector<Block> groups();

  // The families by the row rule of family_blocks: the groups when every link was met from
  // both sides (the rule then finds exactly them); otherwise the rule itself, with linked(i, j)
  // true when row i links to j.
  template <class Linked>
  std::vector<Block> families(Linked linked) {
    if (two_sided_) return groups();
    return connected_components(parent_.size(), linked);
  }

 private:
  std::uint32_t root(std::uint32_t person);

  std::vector<std::uint32_t> parent_;
  bool two_sided_ = true;
};

// The families of the square matrix k, ordered by smallest member; every row lies in
// exactly one. Row i links to j when k(i, j) != 0.0 (NaN links, -0.0 does not); the
// diagonal is never read. A person without links is a family of one.
std::vector<Block> family_blocks(const Eigen::Ref<const Eigen::MatrixXd>& k);

// The same blocks for a matrix the caller has checked to be exactly symmetric, read down
// columns, which is contiguous in column-major storage and much faster at large orders.
std::vector<Block> family_blocks_symmetric(const Eigen::Ref<const Eigen::MatrixXd>& k);

}  // namespace kestrune::blocks
