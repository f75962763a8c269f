#include "numerics/member_order.hpp"

#include <algorithm>
#include <vector>

namespace kestrune::member_order {

blocks::Block canonical(const blocks::Block& members, const Eigen::Ref<const Eigen::MatrixXd>& traits,
                        const matrix_scan::Strided& relationship) {
  // One key per member: its traits, its own relationship, then the others sorted.
  std::vector<std::vector<double>> keys;
  keys.reserve(members.size());
  for (const std::size_t i : members) {
    const auto row = static_cast<Eigen::Index>(i);
    std::vector<double> key(traits.row(row).begin(), traits.row(row).end());
    key.push_back(relationship(row, row));
    std::vector<double> others;
    for (const std::size_t j : members)
      if (j != i) others.push_back(relationship(row, static_cast<Eigen::Index>(j)));
    std::ranges::sort(others);
    key.insert(key.end(), others.begin(), others.end());
    keys.push_back(std::move(key));
  }
  std::vector<std::size_t> position(members.size());
  for (std::size_t k = 0; k < position.size(); ++k) position[k] = k;
  std::ranges::stable_sort(position, [&](std::size_t a, std::size_t b) {
    return std::ranges::lexicographical_compare(keys[a], keys[b]);
  });
  blocks::Block ordered;
  ordered.reserve(members.size());
  for (const std::size_t k : position) ordered.push_back(members[k]);
  return ordered;
}

}  // namespace kestrune::member_order
