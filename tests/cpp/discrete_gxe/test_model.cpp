// The two-environment model's internals Python cannot reach: the constraint maps, the
// analytic gradient, the points the likelihood refuses and the group flags.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Cholesky>
#include <Eigen/QR>

#include "discrete_gxe/model.hpp"

namespace {

using kestrune::discrete_gxe::Constraint;
using kestrune::discrete_gxe::DiscreteGxeModel;
using kestrune::discrete_gxe::Parameters;
using Vec = std::vector<double>;

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

// ---- constraint maps ----------------------------------------------------------------------

TEST(Constraint, WorkedExampleWithGeneticEqualAndRhoHeld) {
  const Constraint held{0.25, true, false};
  EXPECT_EQ(held.reduce({0.9, 0.5, 0.6, 0.8, 0.8}), (Vec{0.7, 0.6, 0.8}));
  const Vec free{0.7, 0.6, 0.8};
  EXPECT_EQ(held.expand(free), (Parameters{0.7, 0.7, 0.6, 0.8, 0.25}));
  EXPECT_EQ(held.fold({1.0, 2.0, 3.0, 4.0, 5.0}), (Vec{3.0, 3.0, 4.0}));
}

struct Shape {
  std::string name;
  Constraint constraint;
  std::size_t k;
};

class ConstraintShapes : public testing::TestWithParam<Shape> {};

TEST_P(ConstraintShapes, ExpandThenReduceIsTheIdentity) {
  const auto& [name, constraint, k] = GetParam();
  ASSERT_EQ(constraint.free_size(), k);
  const Vec values{0.3, 1.7, 0.9, 0.4, -0.6};
  const Vec free(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k));
  EXPECT_EQ(constraint.reduce(constraint.expand(free)), free);
}

// fold is the chain rule of expand: a free step moves the full vector by expand's change,
// so the two directional derivatives agree for any full gradient.
TEST_P(ConstraintShapes, FoldIsTheTransposeOfExpand) {
  const auto& [name, constraint, k] = GetParam();
  const Parameters gradient{1.5, -2.0, 0.25, 3.0, -0.75};
  const Vec folded = constraint.fold(gradient);
  ASSERT_EQ(folded.size(), k);
  const Vec base(k, 0.5);
  const Parameters at_base = constraint.expand(base);
  for (std::size_t i = 0; i < k; ++i) {
    Vec step = base;
    step[i] += 1.0;
    const Parameters moved = constraint.expand(step);
    double directional = 0.0;
    for (std::size_t j = 0; j < 5; ++j) directional += gradient[j] * (moved[j] - at_base[j]);
    EXPECT_EQ(folded[i], directional) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Discrete, ConstraintShapes,
    testing::Values(Shape{"full", {}, 5}, Shape{"rho_held", {1.0, false, false}, 4},
                    Shape{"genetic_equal", {std::nullopt, true, false}, 4},
                    Shape{"residual_equal", {std::nullopt, false, true}, 4},
                    Shape{"genetic_equal_rho_held", {1.0, true, false}, 3},
                    Shape{"all_tied", {1.0, true, true}, 2}, Shape{"profile", {-0.35, false, false}, 4}),
    [](const testing::TestParamInfo<Shape>& info) { return info.param.name; });

// ---- likelihood -----------------------------------------------------------------------------

// Families of 1, 3, 5 and 13 people (the last factored by LAPACK), AR(1)-like relationships
// inside each, the two groups alternating.
struct Data {
  Eigen::MatrixXd relationship;
  Eigen::VectorXd environment;
  Eigen::MatrixXd design;
  Eigen::VectorXd response;
};

Data families() {
  const std::vector<int> sizes{1, 3, 5, 13};
  const int n = 22;
  Data data{Eigen::MatrixXd::Zero(n, n), Eigen::VectorXd(n), Eigen::MatrixXd(n, 2), Eigen::VectorXd(n)};
  int start = 0;
  for (int size : sizes) {
    for (int i = 0; i < size; ++i)
      for (int j = 0; j < size; ++j) data.relationship(start + i, start + j) = std::pow(0.5, std::abs(i - j));
    start += size;
  }
  for (int i = 0; i < n; ++i) {
    data.environment[i] = i % 3 == 0 ? 2.0 : 1.0;
    data.design(i, 0) = 1.0;
    data.design(i, 1) = std::sin(0.7 * i);
    data.response[i] = std::cos(1.3 * i) + 0.1 * (i % 7);
  }
  return data;
}

DiscreteGxeModel model_of(const Data& data) {
  auto model = DiscreteGxeModel::build_expecting(data.relationship, data.environment, data.design, std::nullopt);
  EXPECT_TRUE(model.has_value());
  return std::move(*model);
}

struct GradientCase {
  std::string name;
  Parameters at;
  bool reml;
};

class Gradient : public testing::TestWithParam<GradientCase> {};

// Central differences inside the box; at rho = +-1 a second-order one-sided difference
// pointing inwards, since the likelihood refuses |rho| > 1.
TEST_P(Gradient, AgreesWithDifferencesOfTheObjective) {
  const Data data = families();
  const DiscreteGxeModel model = model_of(data);
  const auto& [name, at, reml] = GetParam();
  const auto objective = [&](const Parameters& x) {
    const auto evaluation = model.evaluate(x, data.response, reml, false);
    EXPECT_TRUE(evaluation.has_value());
    return evaluation ? evaluation->objective : nan;
  };
  const auto evaluation = model.evaluate(at, data.response, reml, true);
  ASSERT_TRUE(evaluation.has_value());
  for (std::size_t k = 0; k < 5; ++k) {
    const double h = 1e-5;
    double numeric;
    Parameters a = at, b = at;
    if (k == 4 && std::fabs(at[4]) == 1.0) {
      const double s = -at[4];
      a[4] += s * h;
      b[4] += 2 * s * h;
      numeric = (-3.0 * objective(at) + 4.0 * objective(a) - objective(b)) / (2.0 * s * h);
    } else {
      a[k] += h;
      b[k] -= h;
      numeric = (objective(a) - objective(b)) / (2.0 * h);
    }
    EXPECT_NEAR(evaluation->gradient[k], numeric, 1e-6 * std::fmax(1.0, std::fabs(numeric))) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Discrete, Gradient,
                         testing::Values(GradientCase{"ml_interior", {0.8, 0.6, 0.7, 0.9, 0.4}, false},
                                         GradientCase{"reml_interior", {0.8, 0.6, 0.7, 0.9, 0.4}, true},
                                         GradientCase{"reml_negative_rho", {0.5, 1.2, 0.4, 0.3, -0.7}, true},
                                         GradientCase{"ml_rho_one", {0.8, 0.6, 0.7, 0.9, 1.0}, false},
                                         GradientCase{"reml_rho_one", {0.8, 0.6, 0.7, 0.9, 1.0}, true},
                                         GradientCase{"ml_rho_minus_one", {1.1, 0.4, 0.6, 0.5, -1.0}, false},
                                         GradientCase{"reml_rho_minus_one", {1.1, 0.4, 0.6, 0.5, -1.0}, true}),
                         [](const testing::TestParamInfo<GradientCase>& info) { return info.param.name; });

struct PointCase {
  std::string name;
  Parameters at;
  bool evaluable;
};

class Points : public testing::TestWithParam<PointCase> {};

TEST_P(Points, AreRefusedOrAccepted) {
  const Data data = families();
  const DiscreteGxeModel model = model_of(data);
  EXPECT_EQ(model.evaluate(GetParam().at, data.response, true, true).has_value(), GetParam().evaluable);
}

INSTANTIATE_TEST_SUITE_P(Discrete, Points,
                         testing::Values(PointCase{"rho_one", {0.8, 0.6, 0.7, 0.9, 1.0}, true},
                                         PointCase{"rho_minus_one", {0.8, 0.6, 0.7, 0.9, -1.0}, true},
                                         PointCase{"rho_beyond_one", {0.8, 0.6, 0.7, 0.9, 1.0000001}, false},
                                         PointCase{"negative_sd", {0.8, -0.1, 0.7, 0.9, 0.0}, false},
                                         PointCase{"minus_zero_sd", {-0.0, 0.6, 0.7, 0.9, 0.0}, true},
                                         PointCase{"nan", {0.8, 0.6, nan, 0.9, 0.0}, false},
                                         PointCase{"infinite", {inf, 0.6, 0.7, 0.9, 0.0}, false},
                                         PointCase{"no_genetic_part", {0.0, 0.0, 0.7, 0.9, 0.0}, true},
                                         PointCase{"singular", {0.0, 0.0, 0.0, 0.9, 0.0}, false}),
                         [](const testing::TestParamInfo<PointCase>& info) { return info.param.name; });

// ---- the face where a residual at 0 leaves the covariance singular -------------------------

// One family of 14 whose relationship is centred on the people (K 1 = 0 up to rounding): with
// rho = +-1 and both residuals at 0 the covariance is singular along D^-1 1, D the genetic sds.
Data centred() {
  const int n = 14;
  Data data{Eigen::MatrixXd(n, n), Eigen::VectorXd(n), Eigen::MatrixXd(n, 2), Eigen::VectorXd(n)};
  const Eigen::MatrixXd centring = Eigen::MatrixXd::Identity(n, n) - Eigen::MatrixXd::Constant(n, n, 1.0 / n);
  Eigen::MatrixXd ar(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) ar(i, j) = std::pow(0.6, std::abs(i - j));
  data.relationship = centring * ar * centring;
  for (int i = 0; i < n; ++i) {
    data.environment[i] = i % 2 == 0 ? 1.0 : 2.0;
    data.design(i, 0) = 1.0;
    data.design(i, 1) = std::sin(0.7 * i);
    data.response[i] = std::cos(1.3 * i) + 0.1 * (i % 5);
  }
  return data;
}

// -l_R from the error contrasts A'y alone, A an orthonormal basis of the design's complement:
// A'VA stays regular on the face, so this is the limit there, computed without it.
double contrast_objective(const Data& data, const Parameters& x) {
  const Eigen::Index n = data.design.rows(), p = data.design.cols();
  Eigen::MatrixXd v(n, n);
  for (Eigen::Index i = 0; i < n; ++i)
    for (Eigen::Index j = 0; j < n; ++j) {
      const bool fi = data.environment[i] == 1.0, fj = data.environment[j] == 1.0;
      v(i, j) = data.relationship(i, j) * (fi ? x[0] : x[1]) * (fj ? x[0] : x[1]) * (fi == fj ? 1.0 : x[4]);
    }
  for (Eigen::Index i = 0; i < n; ++i) v(i, i) += std::pow(data.environment[i] == 1.0 ? x[2] : x[3], 2);
  const Eigen::MatrixXd q = Eigen::HouseholderQR<Eigen::MatrixXd>(data.design).householderQ();
  const Eigen::MatrixXd a = q.rightCols(n - p);
  const Eigen::LLT<Eigen::MatrixXd> m(a.transpose() * v * a);
  const Eigen::VectorXd z = a.transpose() * data.response;
  const double log_det = 2.0 * m.matrixL().toDenseMatrix().diagonal().array().log().sum();
  return 0.5 * (log_det + z.dot(m.solve(z)) + static_cast<double>(n - p) * 1.8378770664093453);
}

class Face : public testing::TestWithParam<double> {};

// On the face REML is the contrasts' limit, with its gradient along the face and its derivative
// in each residual variance off it; ML has no value there, and one just beside it.
TEST_P(Face, RemlIsTheContrastsLimitAndMlHasNone) {
  const Data data = centred();
  const DiscreteGxeModel model = model_of(data);
  const Parameters at{0.9, 1.3, 0.0, 0.0, GetParam()};
  EXPECT_FALSE(model.evaluate(at, data.response, false, true).has_value());
  EXPECT_TRUE(model.evaluate({0.9, 1.3, 1e-3, 1e-3, GetParam()}, data.response, false, true).has_value());
  const auto face = model.evaluate(at, data.response, true, true);
  ASSERT_TRUE(face.has_value());
  EXPECT_NEAR(face->objective, contrast_objective(data, at), 1e-10);
  const double h = 1e-5;
  for (std::size_t k : {0, 1}) {
    Parameters a = at, b = at;
    a[k] += h;
    b[k] -= h;
    EXPECT_NEAR(face->gradient[k], (contrast_objective(data, a) - contrast_objective(data, b)) / (2 * h), 1e-7) << k;
  }
  EXPECT_EQ(face->gradient[2], 0.0);
  EXPECT_EQ(face->gradient[3], 0.0);
  const auto by_variance = model.variance_gradient(at, data.response, true);
  ASSERT_TRUE(by_variance.has_value());
  for (std::size_t k : {2, 3}) {  // one-sided, second order, in e_k^2
    Parameters a = at, b = at;
    a[k] = std::sqrt(1e-6);
    b[k] = std::sqrt(2e-6);
    const double numeric = (-3.0 * contrast_objective(data, at) + 4.0 * contrast_objective(data, a) -
                            contrast_objective(data, b)) / 2e-6;
    EXPECT_NEAR((*by_variance)[k + 1], numeric, 1e-5 * std::fmax(1.0, std::fabs(numeric))) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Discrete, Face, testing::Values(1.0, -1.0),
                         [](const testing::TestParamInfo<double>& info) { return info.param > 0 ? "rho_one" : "rho_minus_one"; });

TEST(Build, TheSmallerLabelIsTheFirstGroupWhateverTheOrder) {
  const Eigen::MatrixXd k = Eigen::MatrixXd::Identity(4, 4);
  const Eigen::VectorXd environment = (Eigen::VectorXd(4) << 2.0, 1.0, 2.0, 1.0).finished();
  auto model = DiscreteGxeModel::build_expecting(k, environment, Eigen::MatrixXd(Eigen::MatrixXd::Ones(4, 1)),
                                                 std::nullopt);
  ASSERT_TRUE(model.has_value());
  EXPECT_EQ(model->first_group(), (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(model->levels(), (std::array<double, 2>{1.0, 2.0}));
}

}  // namespace
