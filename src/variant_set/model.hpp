// Variance-component score tests of variant sets against one fitted Gaussian null.
//
// The null carries the design X, the background covariance bases and a residual; it is
// fitted once. A set enters as its root Z (n x q, the weighted dosages), whose score is
// u = Z' P y with P = V^-1 - V^-1 X (X'V^-1 X)^-1 X'V^-1. Under the null ||u||^2 is a
// weighted sum of chi-squares on one degree of freedom with the eigenvalues of S = Z' P Z as
// weights. V is block diagonal over the null model's family blocks and is factored block by
// block; P is applied through those factors and never formed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "components/model.hpp"
#include "error.hpp"
#include "numerics/blocks.hpp"
#include "numerics/dense.hpp"
#include "numerics/fixed_effects.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/matrix_scan.hpp"
#include "numerics/parallel.hpp"

namespace kestrune::variant_set {

// One test: the statistic, its tail and the chi-square weights used.
struct VariantSetTest {
  double statistic;
  double p_value;
  std::vector<double> eigenvalues;  // each >= 0, decreasing
  std::string_view tail_method;
  bool trustworthy;
};

// One set tested across assumed effect correlations, the p-values combined.
struct VariantSetFamily {
  std::vector<double> correlations;
  std::vector<VariantSetTest> tests;  // one per correlation, in the same order
  double strongest_correlation;       // the first with the smallest p-value
  double p_value;                     // the Cauchy combination
  bool trustworthy;                   // every test trustworthy
};

// A set after projection: its score, S = Z'PZ (symmetric entry for entry) and the
// eigenvalues of S, each floored at 0 and in decreasing order.
struct Projection {
  Eigen::VectorXd score;
  Eigen::MatrixXd information;
  std::vector<double> eigenvalues;
};

class VariantSetModel {
 public:
  // Checks, fits the null with the component model and factors V; the first failure's code.
  // The backgrounds and the design are read where they lie; only the backgrounds' family blocks
  // are kept, and the design is copied by the null once it can be kept.
  static Result<VariantSetModel> build(std::span<const matrix_scan::Strided> backgrounds,
                                       const matrix_scan::Strided& design, const Eigen::VectorXd& response,
                                       bool reml);

  // A root is read where it lies and copied once its shape and values have passed.
  Result<Projection> projected(const matrix_scan::Strided& root) const;
  Result<VariantSetTest> test(const matrix_scan::Strided& root) const;
  Result<VariantSetFamily> test_family(const matrix_scan::Strided& root,
                                       std::span<const double> correlations) const;

 private:
  // One family block of V: its rows and the Cholesky factor of V restricted to them; or, for a
  // REML null whose residual is 0 and whose V is singular along the design's span, a root R of
  // V's pseudo-inverse on them (R'R = V^+, one row per positive eigenvalue).
  struct Block {
    blocks::Block indices;
    std::optional<dense::DenseFactor> factor;
    Eigen::MatrixXd root;
  };

  // `design` spans what P removes: the design's orthogonal basis, or on the singular face its part
  // orthogonal to V's null space (the rest has variance 0 and is fitted exactly).
  VariantSetModel(fixed_effects::Design fixed_design, std::vector<Block> blocks, dense::DenseFactor information,
                  Eigen::VectorXd projected_response, const Eigen::MatrixXd& design)
      : fixed_design_(std::move(fixed_design)),
        blocks_(std::move(blocks)),
        information_(std::move(information)),
        projected_response_(std::move(projected_response)),
        whitened_design_(whiten(blocks_, design)) {}

  // The model on the REML face where the null's residual is 0: V^+ and the design less V's null space.
  static Result<VariantSetModel> on_null_face(const components::ComponentModel& null,
                                              std::span<const double> coefficients, const Eigen::VectorXd& centred);

  // V^-1 b, block by block; b has n rows.
  static Eigen::MatrixXd solve_blocks(const std::vector<Block>& blocks, const Eigen::Ref<const Eigen::MatrixXd>& b);
  // L^-1 b with V = L L^T, block by block, the rows in the blocks' order (so that
  // (L^-1 a)^T (L^-1 b) = a^T V^-1 b); b has n rows. A block kept by its root gives R b instead.
  static Eigen::MatrixXd whiten(const std::vector<Block>& blocks, const Eigen::Ref<const Eigen::MatrixXd>& b);

  // P X = 0, so P y and P Z are taken from y and Z less their least-squares fits on the design:
  // an offset the design absorbs never enters the cancellations of P.
  fixed_effects::Design fixed_design_;
  std::vector<Block> blocks_;
  dense::DenseFactor information_;  // of X'V^-1 X
  Eigen::VectorXd projected_response_;  // P y
  // L^-1 X, X the design's orthogonal basis: the same span, so the same P
  Eigen::MatrixXd whitened_design_;
};

// Sets read this many at a time on the calling thread before they are tested.
inline constexpr std::size_t sets_per_batch = 64;

// One outcome per set, in order, the sets tested over the pool: read(i) gives set i's root (a
// matrix or a view of one) and runs on the calling thread alone (it may call into Python);
// test(root) runs on any thread and only reads the root. The interrupt's code when a stop is
// requested.
template <class Read, class Test, class Root = std::invoke_result_t<Read&, std::size_t>>
auto each_set(std::size_t count, Read&& read, Test&& test)
    -> Result<std::vector<std::invoke_result_t<Test&, const Root&>>> {
  std::vector<std::invoke_result_t<Test&, const Root&>> outcomes(count);
  std::vector<Root> roots;
  for (std::size_t first = 0; first < count; first += sets_per_batch) {
    roots.clear();
    for (std::size_t i = first; i < std::min(count, first + sets_per_batch); ++i) roots.push_back(read(i));
    if (!parallel::for_each(roots.size(), [&](std::size_t i) { outcomes[first + i] = test(roots[i]); })) {
      return fail(interrupt::code);
    }
  }
  return outcomes;
}

// The combination of p-values by the Cauchy distribution, each weighted 1/K.
double cauchy_combination(std::span<const double> p_values);

}  // namespace kestrune::variant_set
