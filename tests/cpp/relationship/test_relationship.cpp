// The parents-first order on pedigrees far deeper than any call stack, which Python cannot
// reach because the matrix of such a pedigree does not fit in memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relationship/relationship.hpp"

namespace {

using kestrune::relationship::Cycle;
using kestrune::relationship::pedigree_order;
using kestrune::relationship::Person;

// Person g has both parents g+1 (a selfing line): input order runs child before parent, so the
// traversal from person 0 descends the whole chain before it emits anything.
std::vector<Person> chain(std::size_t generations) {
  std::vector<Person> people(generations);
  for (std::size_t g = 0; g < generations; ++g) {
    people[g].id = "g" + std::to_string(g);
    if (g + 1 < generations) {
      people[g].father = "g" + std::to_string(g + 1);
      people[g].mother = people[g].father;
    }
  }
  return people;
}

TEST(PedigreeOrder, ChainOfAMillionGenerationsComesOutFounderFirst) {
  const std::size_t n = 1'000'000;
  const auto order = pedigree_order(chain(n));
  ASSERT_TRUE(order.has_value());
  ASSERT_EQ(order->size(), n);
  for (std::size_t r = 0; r < n; ++r) ASSERT_EQ((*order)[r], n - 1 - r) << "row " << r;
}

TEST(PedigreeOrder, LoopClosingAtTheBottomOfADeepChainIsACycle) {
  auto people = chain(100'000);
  people.back().father = "g0";
  people.back().mother = "g0";
  const auto order = pedigree_order(people);
  ASSERT_FALSE(order.has_value());
  ASSERT_TRUE(std::holds_alternative<Cycle>(order.error().fault));
  EXPECT_EQ(order.error().code(), "PEDIGREE_CYCLE: g0");
}

}  // namespace
