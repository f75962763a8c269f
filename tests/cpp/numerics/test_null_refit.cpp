// A null above the full fit: the full model is refitted from the null's end only then, and the
// better converged fit kept; when the null still wins the test fails with the model's code.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "numerics/null_refit.hpp"

namespace {

struct FakeFit {
  double loglik;
  bool converged;
};

struct Case {
  double null;                   // against a converged full fit at -10
  std::optional<FakeFit> refit;  // nothing: the refit failed
  double relative;
  double kept;                   // NaN: the code
  bool refitted;
};

TEST(NullRefit, RefitsFromTheNullOnlyWhenItWinsAndNeverKeepsALowerMaximum) {
  const Case cases[] = {
      {-11.0, std::nullopt, 1e-10, -10.0, false},                 // null below
      {-10.0 + 5e-10, std::nullopt, 1e-10, -10.0, false},         // within the tolerance
      {-10.0 + 5e-6, std::nullopt, 1e-6, -10.0, false},           // within a looser model tolerance
      {-9.5, FakeFit{-9.0, true}, 1e-10, -9.0, true},             // the refit finds more
      {-9.5, FakeFit{-9.5, true}, 1e-10, -9.5, true},             // the refit reaches the null
      {-9.5, FakeFit{-9.0, false}, 1e-10, NAN, true},             // better but unconverged
      {-9.5, FakeFit{-9.8, true}, 1e-10, NAN, true},              // still below the null
      {-9.5, std::nullopt, 1e-6, NAN, true},                      // the refit failed
  };
  for (const Case& c : cases) {
    bool called = false;
    const auto refit = [&]() -> kestrune::Result<FakeFit> {
      called = true;
      if (!c.refit) return kestrune::fail("REFIT_FAILED");
      return *c.refit;
    };
    const auto kept = kestrune::null_refit::full_above_null(FakeFit{-10.0, true}, c.null, refit, "BETTER", c.relative);
    EXPECT_EQ(called, c.refitted) << c.null;
    if (std::isnan(c.kept)) {
      ASSERT_FALSE(kept) << c.null;
      EXPECT_EQ(kept.error().code, "BETTER");
    } else {
      ASSERT_TRUE(kept) << c.null;
      EXPECT_EQ(kept->loglik, c.kept);
    }
  }
}

}  // namespace
