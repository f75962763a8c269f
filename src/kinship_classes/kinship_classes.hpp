// The additive relationship matrix split by the kind of parent-offspring tie.
//
// Every child-parent pair whose child has the sex code "1" (son) or "2" (daughter) and whose
// parent has a row is moved out of the relationship matrix into one of four class matrices;
// what stays (the diagonal, every other kinship, unclassed ties) is the fifth matrix.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <Eigen/Core>

#include "relationship/relationship.hpp"

namespace kestrune::kinship_classes {

// Class order: the position of a class in every list of four.
inline constexpr std::array<std::string_view, 4> class_names = {
    "mother_son", "mother_daughter", "father_son", "father_daughter"};

// Sex codes by identifier, stored exactly as given; only present codes are held.
using SexTable = std::unordered_map<std::string, std::string>;

struct KinshipClasses {
  Eigen::MatrixXd everything_else;         // the relationship matrix without the classed pairs
  std::array<Eigen::MatrixXd, 4> classes;  // each classed pair's value at both of its cells
  std::vector<std::string> ids;            // row identifiers, as the relationship matrix has them
  std::array<std::size_t, 4> pair_counts{};

  // Fails with the pedigree's own error, unchanged.
  static std::expected<KinshipClasses, relationship::PedigreeError> build(
      const std::vector<relationship::Person>& people, const SexTable& sexes,
      const std::vector<std::string>& keep);

  // The five matrices, handed over rather than copied: everything else, then the classes in
  // class order.
  std::vector<Eigen::MatrixXd> matrices() &&;
};

}  // namespace kestrune::kinship_classes
