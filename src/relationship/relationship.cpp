#include "relationship/relationship.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace kestrune::relationship {

std::string PedigreeError::code() const {
  struct Message {
    std::string operator()(const DuplicateId& e) const { return "PEDIGREE_DUPLICATE_ID: " + e.id; }
    std::string operator()(const OneKnownParent& e) const {
      return "PEDIGREE_ONE_KNOWN_PARENT: " + e.id;
    }
    std::string operator()(const MissingParentRecord& e) const {
      return "PEDIGREE_MISSING_PARENT_RECORD: " + e.child + " names " + e.parent;
    }
    std::string operator()(const SelfParent& e) const { return "PEDIGREE_SELF_PARENT: " + e.id; }
    std::string operator()(const Cycle& e) const { return "PEDIGREE_CYCLE: " + e.id; }
    std::string operator()(const UnknownId& e) const { return "PEDIGREE_UNKNOWN_ID: " + e.entry; }
  };
  return std::visit(Message{}, fault);
}

namespace {

using detail::Checked;
using detail::none;
using detail::Parents;
using IdIndex = std::unordered_map<std::string_view, std::size_t>;

std::unexpected<PedigreeError> fault(auto value) {
  return std::unexpected<PedigreeError>(PedigreeError{std::move(value)});
}

std::expected<IdIndex, PedigreeError> index_ids(const std::vector<Person>& people) {
  IdIndex index;
  index.reserve(people.size());
  for (std::size_t i = 0; i < people.size(); ++i) {
    if (!index.emplace(people[i].id, i).second) return fault(DuplicateId{people[i].id});
  }
  return index;
}

// One parent's tests, in the order that decides which fault a person reports.
std::expected<std::size_t, PedigreeError> resolve_parent(const Person& child,
                                                         const std::string& parent,
                                                         const IdIndex& index) {
  if (parent == child.id) return fault(SelfParent{child.id});
  const auto found = index.find(parent);
  if (found == index.end()) return fault(MissingParentRecord{child.id, parent});
  return found->second;
}

std::expected<std::vector<Parents>, PedigreeError> resolve_parents(
    const std::vector<Person>& people, const IdIndex& index) {
  std::vector<Parents> parents(people.size());
  for (std::size_t i = 0; i < people.size(); ++i) {
    const Person& person = people[i];
    if (!person.father && !person.mother) continue;
    if (!person.father || !person.mother) return fault(OneKnownParent{person.id});
    const auto father = resolve_parent(person, *person.father, index);
    if (!father) return std::unexpected(father.error());
    const auto mother = resolve_parent(person, *person.mother, index);
    if (!mother) return std::unexpected(mother.error());
    parents[i] = Parents{*father, *mother};
  }
  return parents;
}

enum class Visit : std::uint8_t { Unvisited = 0, InProgress = 1, Done = 2 };

// Depth-first post-order on an explicit stack. The father is pushed before the mother, so the
// mother's line comes off the stack, and into the order, first.
std::expected<std::vector<std::size_t>, PedigreeError> traverse(
    const std::vector<Person>& people, const std::vector<Parents>& parents) {
  const std::size_t n = people.size();
  std::vector<Visit> state(n, Visit::Unvisited);
  std::vector<std::size_t> order;
  order.reserve(n);
  std::vector<std::pair<std::size_t, bool>> stack;
  for (std::size_t s = 0; s < n; ++s) {
    if (state[s] != Visit::Unvisited) continue;
    stack.emplace_back(s, false);
    while (!stack.empty()) {
      const auto [v, expanded] = stack.back();
      stack.pop_back();
      if (expanded) {
        state[v] = Visit::Done;
        order.push_back(v);
        continue;
      }
      if (state[v] == Visit::Done) continue;
      if (state[v] == Visit::InProgress) return fault(Cycle{people[v].id});
      state[v] = Visit::InProgress;
      stack.emplace_back(v, true);
      if (!parents[v].known()) continue;
      for (const std::size_t p : {parents[v].father, parents[v].mother}) {
        if (state[p] == Visit::InProgress) return fault(Cycle{people[p].id});
        if (state[p] == Visit::Unvisited) stack.emplace_back(p, false);
      }
    }
  }
  return order;
}

std::expected<Checked, PedigreeError> check(const std::vector<Person>& people) {
  auto index = index_ids(people);
  if (!index) return std::unexpected(std::move(index.error()));
  auto parents = resolve_parents(people, *index);
  if (!parents) return std::unexpected(std::move(parents.error()));
  auto order = traverse(people, *parents);
  if (!order) return std::unexpected(std::move(order.error()));
  return Checked{std::move(*index), std::move(*parents), std::move(*order)};
}

// Keeps in `order` only the people listed in `keep` and their ancestors. Every entry is looked
// up before any ancestor is added, so the first entry that names nobody is the one reported.
std::expected<void, PedigreeError> retain(std::vector<std::size_t>& order,
                                          const std::vector<std::string>& keep,
                                          const Checked& pedigree) {
  std::vector<bool> retained(pedigree.parents.size(), false);
  std::vector<std::size_t> work;
  for (const std::string& entry : keep) {
    const auto found = pedigree.index.find(entry);
    if (found == pedigree.index.end()) return fault(UnknownId{entry});
    if (!retained[found->second]) {
      retained[found->second] = true;
      work.push_back(found->second);
    }
  }
  while (!work.empty()) {
    const Parents parents = pedigree.parents[work.back()];
    work.pop_back();
    if (!parents.known()) continue;
    for (const std::size_t p : {parents.father, parents.mother}) {
      if (!retained[p]) {
        retained[p] = true;
        work.push_back(p);
      }
    }
  }
  std::erase_if(order, [&](std::size_t v) { return !retained[v]; });
  return {};
}

Eigen::MatrixXd square_matrix(std::size_t n) {
  // Refuse before allocating when n * n doubles cannot be addressed.
  const auto limit = static_cast<std::size_t>(std::numeric_limits<Eigen::Index>::max()) / sizeof(double);
  if (n != 0 && n > limit / n) throw std::bad_alloc();
  const auto order = static_cast<Eigen::Index>(n);
  return Eigen::MatrixXd(order, order);
}

// Where row r takes its values from: a twin's first computed row, its parents' rows, or nothing.
struct Source {
  Eigen::Index twin = -1;
  Eigen::Index father = -1;
  Eigen::Index mother = -1;
};

// Rows are computed in blocks. Inside a block each row r is written as column r (contiguous
// in column-major storage); the block's columns are mirrored into its rows when the block is
// done. Before block [b0, b1) the leading b0 x b0 matrix is complete in both triangles, so any
// entry (c, x) with c < b0 and x < r can be read down a column; entries between two rows of the
// current block are read from the upper triangle.
constexpr Eigen::Index block_rows = 64;

using Square = Eigen::Map<Eigen::MatrixXd>;

double upper(const Square& a, Eigen::Index i, Eigen::Index j) {
  return i <= j ? a(i, j) : a(j, i);
}

void fill_row(Square& a, Eigen::Index r, Eigen::Index b0, const Source& source) {
  double* column = a.col(r).data();
  if (source.twin >= 0) {
    const double* twin = a.col(source.twin).data();
    for (Eigen::Index c = 0; c < b0; ++c) column[c] = twin[c];
    for (Eigen::Index c = b0; c < r; ++c) column[c] = upper(a, c, source.twin);
    a(r, r) = a(source.twin, source.twin);
  } else if (source.father < 0) {
    for (Eigen::Index c = 0; c < r; ++c) column[c] = 0.0;
    a(r, r) = 1.0;
  } else {
    const double* father = a.col(source.father).data();
    const double* mother = a.col(source.mother).data();
    for (Eigen::Index c = 0; c < b0; ++c) column[c] = 0.5 * (father[c] + mother[c]);
    for (Eigen::Index c = b0; c < r; ++c) {
      column[c] = 0.5 * (upper(a, c, source.father) + upper(a, c, source.mother));
    }
    a(r, r) = 1.0 + 0.5 * upper(a, source.father, source.mother);
  }
}

void mirror_block(Square& a, Eigen::Index b0, Eigen::Index b1) {
  for (Eigen::Index c = 0; c < b1; ++c) {
    for (Eigen::Index r = std::max(b0, c + 1); r < b1; ++r) a(r, c) = a(c, r);
  }
}

// Henderson's tabular recursion over `order` into `a` (order.size() square); fills `row_of`
// (person position -> row).
void tabulate_order(const std::vector<Person>& people, const std::vector<Parents>& parents,
                    const std::vector<std::size_t>& order, std::vector<std::size_t>& row_of,
                    Square a) {
  std::unordered_map<std::string_view, Eigen::Index> twin_rows;
  const auto n = static_cast<Eigen::Index>(order.size());
  for (Eigen::Index b0 = 0; b0 < n; b0 += block_rows) {
    const Eigen::Index b1 = std::min(n, b0 + block_rows);
    for (Eigen::Index r = b0; r < b1; ++r) {
      const std::size_t p = order[static_cast<std::size_t>(r)];
      const auto& label = people[p].mz_twin;
      Source source;
      const auto twin = label ? twin_rows.find(*label) : twin_rows.end();
      if (twin != twin_rows.end()) {
        source.twin = twin->second;
      } else if (parents[p].known()) {
        source.father = static_cast<Eigen::Index>(row_of[parents[p].father]);
        source.mother = static_cast<Eigen::Index>(row_of[parents[p].mother]);
      }
      fill_row(a, r, b0, source);
      if (label) twin_rows.emplace(*label, r);  // keeps the first row of the group
      row_of[p] = static_cast<std::size_t>(r);
    }
    mirror_block(a, b0, b1);
  }
}

void restrict_to(const Eigen::MatrixXd& a, const RelationshipPlan& plan,
                 const std::vector<std::size_t>& row_of, Square kept) {
  std::vector<Eigen::Index> rows;
  rows.reserve(plan.ids.size());
  for (const std::string& entry : plan.ids) {
    rows.push_back(static_cast<Eigen::Index>(row_of[plan.pedigree.index.at(entry)]));
  }
  const auto k = static_cast<Eigen::Index>(rows.size());
  for (Eigen::Index b = 0; b < k; ++b) {
    for (Eigen::Index r = 0; r < k; ++r) kept(r, b) = a(rows[r], rows[b]);
  }
}

}  // namespace

std::expected<std::vector<std::size_t>, PedigreeError> pedigree_order(
    const std::vector<Person>& people) {
  auto pedigree = check(people);
  if (!pedigree) return std::unexpected(std::move(pedigree.error()));
  return std::move(pedigree->order);
}

std::expected<RelationshipPlan, PedigreeError> plan(const std::vector<Person>& people,
                                                    const std::vector<std::string>& keep) {
  auto pedigree = check(people);
  if (!pedigree) return std::unexpected(std::move(pedigree.error()));
  RelationshipPlan planned{std::move(*pedigree), {}, {}, !keep.empty()};
  planned.order = planned.pedigree.order;
  if (keep.empty()) {
    planned.ids.reserve(planned.order.size());
    for (const std::size_t p : planned.order) planned.ids.push_back(people[p].id);
  } else {
    if (auto kept = retain(planned.order, keep, planned.pedigree); !kept) {
      return std::unexpected(std::move(kept.error()));
    }
    planned.ids = keep;
  }
  return planned;
}

void tabulate(const RelationshipPlan& plan, const std::vector<Person>& people,
              Eigen::Map<Eigen::MatrixXd> out) {
  std::vector<std::size_t> row_of(people.size(), none);
  if (!plan.restricted) {
    tabulate_order(people, plan.pedigree.parents, plan.order, row_of, out);
    return;
  }
  Eigen::MatrixXd full = square_matrix(plan.order.size());
  tabulate_order(people, plan.pedigree.parents, plan.order, row_of,
                 Square(full.data(), full.rows(), full.cols()));
  restrict_to(full, plan, row_of, out);
}

std::expected<RelationshipMatrix, PedigreeError> relationship_matrix(
    const std::vector<Person>& people, const std::vector<std::string>& keep) {
  auto planned = plan(people, keep);
  if (!planned) return std::unexpected(std::move(planned.error()));
  Eigen::MatrixXd matrix = square_matrix(planned->ids.size());
  tabulate(*planned, people, Square(matrix.data(), matrix.rows(), matrix.cols()));
  return RelationshipMatrix{std::move(matrix), std::move(planned->ids)};
}

}  // namespace kestrune::relationship
