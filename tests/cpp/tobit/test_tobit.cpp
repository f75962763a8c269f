// What Python cannot reach of the tobit model: the range of a held heritability.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "tobit/model.hpp"

namespace {

using kestrune::tobit::Censoring;
using kestrune::tobit::TobitModel;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TobitModel two_pairs() {
  Eigen::MatrixXd a = Eigen::MatrixXd::Identity(4, 4);
  a(0, 1) = a(1, 0) = a(2, 3) = a(3, 2) = 0.5;
  const std::vector<Censoring> censoring{Censoring::Measured, Censoring::Measured, Censoring::AtOrAbove,
                                         Censoring::Measured};
  return *TobitModel::build(a, std::vector<double>{1.2, 0.4, nan, -0.3}, censoring,
                            std::vector<double>{nan, nan, 1.0, nan}, Eigen::MatrixXd::Ones(4, 1));
}

TEST(Tobit, HeldHeritabilityMustLieInTheUnitInterval) {
  const TobitModel model = two_pairs();
  for (const double held : {1.0000001, -0.0000001, nan}) {
    const auto fit = model.fit_holding(held);
    ASSERT_FALSE(fit) << held;
    EXPECT_EQ(fit.error().code, "TOBIT_HELD_HERITABILITY_OUT_OF_RANGE");
  }
  for (const double held : {0.0, 1.0}) {
    const auto fit = model.fit_holding(held);
    ASSERT_TRUE(fit) << held;
    EXPECT_EQ(fit->h2, held);
  }
}

}  // namespace
