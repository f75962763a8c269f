#include "kinship_classes/kinship_classes.hpp"

#include <optional>
#include <utility>

namespace kestrune::kinship_classes {

namespace {

using relationship::Person;
using RowIndex = std::unordered_map<std::string_view, Eigen::Index>;

// The class of a child's tie to its mother (0) or father (2); the daughter's class follows.
constexpr std::size_t mother_class = 0;
constexpr std::size_t father_class = 2;

std::optional<std::size_t> daughter_offset(const SexTable& sexes, const std::string& child) {
  const auto code = sexes.find(child);
  if (code == sexes.end()) return std::nullopt;
  if (code->second == "1") return 0;
  if (code->second == "2") return 1;
  return std::nullopt;
}

Eigen::Index row_of(const RowIndex& rows, const std::optional<std::string>& parent) {
  if (!parent) return -1;
  const auto found = rows.find(*parent);
  return found == rows.end() ? -1 : found->second;
}

}  // namespace

std::expected<KinshipClasses, relationship::PedigreeError> KinshipClasses::build(
    const std::vector<Person>& people, const SexTable& sexes, const std::vector<std::string>& keep) {
  auto related = relationship::relationship_matrix(people, keep);
  if (!related) return std::unexpected(std::move(related.error()));

  KinshipClasses split;
  split.ids = std::move(related->ids);
  // A repeated identifier maps to its later row.
  RowIndex rows;
  for (std::size_t r = 0; r < split.ids.size(); ++r) {
    rows.insert_or_assign(split.ids[r], static_cast<Eigen::Index>(r));
  }
  std::unordered_map<std::string_view, const Person*> persons;
  for (const Person& person : people) persons.emplace(person.id, &person);

  const Eigen::Index m = related->matrix.rows();
  split.everything_else = std::move(related->matrix);
  for (auto& matrix : split.classes) matrix = Eigen::MatrixXd::Zero(m, m);

  for (const auto& [id, child] : rows) {
    const auto offset = daughter_offset(sexes, split.ids[static_cast<std::size_t>(child)]);
    if (!offset) continue;
    const Person& person = *persons.at(id);
    const Eigen::Index parent_rows[2] = {row_of(rows, person.mother), row_of(rows, person.father)};
    // Both values are read before either pair is cleared: a person who is both mother and
    // father of the child owns one cell, and both classes must get its unsplit value. No other
    // pair touches these cells.
    double values[2] = {0.0, 0.0};
    for (int k = 0; k < 2; ++k) {
      if (parent_rows[k] >= 0) values[k] = split.everything_else(parent_rows[k], child);
    }
    for (int k = 0; k < 2; ++k) {
      const Eigen::Index parent = parent_rows[k];
      if (parent < 0) continue;
      const std::size_t cls = (k == 0 ? mother_class : father_class) + *offset;
      split.classes[cls](parent, child) = values[k];
      split.classes[cls](child, parent) = values[k];
      split.everything_else(parent, child) = 0.0;
      split.everything_else(child, parent) = 0.0;
      ++split.pair_counts[cls];
    }
  }
  return split;
}

std::vector<Eigen::MatrixXd> KinshipClasses::matrices() && {
  std::vector<Eigen::MatrixXd> all;
  all.reserve(5);
  all.push_back(std::move(everything_else));
  for (auto& matrix : classes) all.push_back(std::move(matrix));
  return all;
}

}  // namespace kestrune::kinship_classes
