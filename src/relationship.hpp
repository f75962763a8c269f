// The additive relationship matrix of a pedigree held in memory.
//
// Entry (i, j) is twice the coefficient of kinship of persons i and j; the diagonal is one plus
// the person's inbreeding coefficient. Rows follow the pedigree order (parents before children)
// or, when `keep` is given, the order of `keep`.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <Eigen/Core>

namespace kestrune::relationship {

// One pedigree record. Identifiers and labels are exact byte strings with no special values:
// a parent that is not given is absent, never a placeholder. People who carry the same
// `mz_twin` label form one monozygotic group and share one genotype.
struct Person {
  std::string id;
  std::optional<std::string> father;
  std::optional<std::string> mother;
  std::optional<std::string> mz_twin;
};

// The six faults of a pedigree, each owning copies of the strings it names.
struct DuplicateId {
  std::string id;
};
struct OneKnownParent {
  std::string id;
};
struct MissingParentRecord {
  std::string child;
  std::string parent;
};
struct SelfParent {
  std::string id;
};
struct Cycle {
  std::string id;  // the person found in progress where the loop closed
};
struct UnknownId {
  std::string entry;  // the `keep` entry that names nobody
};

struct PedigreeError {
  std::variant<DuplicateId, OneKnownParent, MissingParentRecord, SelfParent, Cycle, UnknownId> fault;

  // The message a caller sees: "PEDIGREE_<CONDITION>: " and the detail.
  std::string code() const;
};

// A square symmetric matrix and the identifier of each of its rows, in row order.
struct RelationshipMatrix {
  Eigen::MatrixXd matrix;
  std::vector<std::string> ids;
};

// Validates the pedigree and returns the positions of all people in pedigree order: every
// person once, parents before children, found by an iterative depth-first traversal, so a
// pedigree of any depth is handled without recursion.
std::expected<std::vector<std::size_t>, PedigreeError> pedigree_order(
    const std::vector<Person>& people);

// The relationship matrix of `people` (input order), restricted to `keep` when it is not
// empty: then the rows are the `keep` entries in their order, repeats included, and only the
// kept people and their ancestors are computed. A matrix too large to address throws
// std::bad_alloc.
std::expected<RelationshipMatrix, PedigreeError> relationship_matrix(
    const std::vector<Person>& people, const std::vector<std::string>& keep);

}  // namespace kestrune::relationship
