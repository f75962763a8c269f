// The additive relationship matrix of a pedigree held in memory.
//
// Entry (i, j) is twice the coefficient of kinship of persons i and j; the diagonal is one plus
// the person's inbreeding coefficient. Rows follow the pedigree order (parents before children)
// or, when `keep` is given, the order of `keep`.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
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

namespace detail {

inline constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

// Positions of a person's father and mother; both `none` for a founder.
struct Parents {
  std::size_t father = none;
  std::size_t mother = none;
  bool known() const { return father != none; }
};

// A checked pedigree: every identifier indexed, every parent resolved, the traversal done.
// The index views the identifiers of the people it was checked from.
struct Checked {
  std::unordered_map<std::string_view, std::size_t> index;
  std::vector<Parents> parents;
  std::vector<std::size_t> order;
};

}  // namespace detail

// A validated pedigree ready to tabulate: the people to compute, parents first, and the
// identifiers of the result's rows. It refers to the people it was planned from, which must
// outlive it unchanged.
struct RelationshipPlan {
  detail::Checked pedigree;
  std::vector<std::size_t> order;  // the pedigree order, or only the kept people and their ancestors
  std::vector<std::string> ids;    // one per row of the result: the `keep` entries when restricted
  bool restricted = false;         // rows follow `keep` rather than the pedigree order
};

// Validates the pedigree and returns the positions of all people in pedigree order: every
// person once, parents before children, found by an iterative depth-first traversal, so a
// pedigree of any depth is handled without recursion.
std::expected<std::vector<std::size_t>, PedigreeError> pedigree_order(
    const std::vector<Person>& people);

// Validates `people` (input order) and `keep`. With `keep` empty the rows are the pedigree
// order; otherwise they are the `keep` entries in their order, repeats included, and only the
// kept people and their ancestors will be computed.
std::expected<RelationshipPlan, PedigreeError> plan(const std::vector<Person>& people,
                                                    const std::vector<std::string>& keep);

// Writes the k x k relationship matrix of a plan (k = plan.ids.size()) into `out`. The matrix
// is symmetric, so column-major storage is also its row-major form. Needs no storage beyond
// `out` unless the plan keeps a subset; a matrix too large to address throws std::bad_alloc.
void tabulate(const RelationshipPlan& plan, const std::vector<Person>& people,
              Eigen::Map<Eigen::MatrixXd> out);

// `plan` and `tabulate` into a new matrix.
std::expected<RelationshipMatrix, PedigreeError> relationship_matrix(
    const std::vector<Person>& people, const std::vector<std::string>& keep);

}  // namespace kestrune::relationship
