// The orthogonal basis of a design: same span, orthogonal columns, and fixed effects and their
// covariance mapped back exactly, however large a covariate's offset.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>

#include "numerics/design_basis.hpp"

namespace {

using kestrune::design_basis::Basis;

TEST(DesignBasis, SameSpanOrthogonalColumnsAndExactMaps) {
  const Eigen::Index n = 50;
  for (const double offset : {0.0, 1e3, 1e6}) {
    // X = X0 A: a well-conditioned design moved by an offset, so that (XᵀX)⁻¹ = A⁻¹(X0ᵀX0)⁻¹A⁻ᵀ
    // is known to rounding however ill-conditioned X is.
    Eigen::MatrixXd x0(n, 3);
    for (Eigen::Index i = 0; i < n; ++i) {
      x0.row(i) << 1.0, std::sin(0.7 * static_cast<double>(i)), std::cos(1.3 * static_cast<double>(i));
    }
    Eigen::Matrix3d a;
    a << 1.0, offset, 0.2 * offset, 0.0, 1.0, 0.2, 0.0, 0.0, 1.0;
    const Eigen::MatrixXd x = x0 * a;
    const Eigen::Matrix3d a_inverse = a.inverse();
    const Eigen::Matrix3d direct = a_inverse * (x0.transpose() * x0).inverse() * a_inverse.transpose();
    for (const bool standardised : {false, true}) {
      const Basis basis = standardised ? Basis::standardised(x) : Basis::orthogonal(x);
      const Eigen::MatrixXd& b = basis.columns();
      // Orthogonal columns, of length sqrt(n) when standardised.
      Eigen::MatrixXd gram = b.transpose() * b;
      const Eigen::VectorXd lengths = gram.diagonal();
      gram.diagonal().setZero();
      EXPECT_LT(gram.cwiseAbs().maxCoeff(), 1e-12 * lengths.maxCoeff()) << offset;
      if (standardised) {
        EXPECT_NEAR(lengths.maxCoeff(), static_cast<double>(n), 1e-10 * n);
      }
      if (!standardised) {
        EXPECT_EQ(basis.log_det(), 0.0);
        EXPECT_LT((b.col(0) - x.col(0)).cwiseAbs().maxCoeff(), 1e-14);
        EXPECT_TRUE((b.col(0).array() == x.col(0).array()).all()) << offset;
      }
      // The same fitted values from coefficients on B and their map on X.
      const Eigen::Vector3d on_basis(0.3, -1.2, 2.5);
      const Eigen::VectorXd fitted = b * on_basis;
      const Eigen::VectorXd beta = basis.coefficients(on_basis);
      EXPECT_LT((x * beta - fitted).cwiseAbs().maxCoeff(), 1e-12 * (1.0 + offset)) << offset;
      EXPECT_LT((basis.on_basis(beta) - on_basis).cwiseAbs().maxCoeff(), 1e-12 * (1.0 + offset)) << offset;
      // Covariance: (BᵀB)⁻¹ on B maps to (XᵀX)⁻¹ on X.
      const Eigen::MatrixXd on_x = basis.covariance((b.transpose() * b).inverse());
      const Eigen::VectorXd errors = basis.standard_errors((b.transpose() * b).inverse());
      for (Eigen::Index j = 0; j < 3; ++j) {
        EXPECT_NEAR(errors(j), std::sqrt(direct(j, j)), 1e-9 * std::sqrt(direct(j, j))) << offset << " " << j;
      }
      EXPECT_TRUE(on_x.isApprox(on_x.transpose()));
      // det A = 1, so ln det XᵀX is that of the well-conditioned X0.
      EXPECT_NEAR(basis.log_det_gram(), std::log((x0.transpose() * x0).determinant()), 1e-10) << offset;
    }
  }
}

}  // namespace
