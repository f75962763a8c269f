#include "numerics/blocks.hpp"

namespace kestrune::blocks {

// People are counted in 32 bits: a matrix of 2^32 rows could not be held anyway.
Links::Links(std::size_t n) : parent_(n) {
  for (std::size_t i = 0; i < n; ++i) parent_[i] = static_cast<std::uint32_t>(i);
}

std::uint32_t Links::root(std::uint32_t person) {
  // Path halving: every other step points a person at its grandparent.
  while (parent_[person] != person) {
    parent_[person] = parent_[parent_[person]];
    person = parent_[person];
  }
  return person;
}

void Links::join(std::size_t a, std::size_t b) {
  const std::uint32_t ra = root(static_cast<std::uint32_t>(a)), rb = root(static_cast<std::uint32_t>(b));
  // The smaller root wins, so a root is its group's smallest member.
  if (ra < rb) {
    parent_[rb] = ra;
  } else if (rb < ra) {
    parent_[ra] = rb;
  }
}

std::vector<Block> Links::groups() {
  const std::size_t n = parent_.size();
  std::vector<Block> found;
  // A root is its group's smallest member, so groups appear in order of it; members arrive
  // ascending.
  std::vector<std::uint32_t> slot(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t r = root(static_cast<std::uint32_t>(i));
    if (r == i) {
      slot[i] = static_cast<std::uint32_t>(found.size());
      found.emplace_back();
    }
    found[slot[r]].push_back(i);
  }
  return found;
}

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
