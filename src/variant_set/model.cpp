#include "variant_set/model.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <utility>

#include <Eigen/Eigenvalues>

#include "components/model.hpp"
#include "numerics/block_matrix.hpp"
#include "numerics/mixture_tail.hpp"
#include "numerics/singular_reml.hpp"

namespace kestrune::variant_set {
namespace {

constexpr double pi = 3.141592653589793;

// Eigenvalues of a symmetric matrix, each floored at 0 (a NaN too), in decreasing order.
std::vector<double> chi2_weights(const Eigen::MatrixXd& s) {
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(s, Eigen::EigenvaluesOnly);
  std::vector<double> weights(solver.eigenvalues().begin(), solver.eigenvalues().end());
  for (double& w : weights) w = std::fmax(w, 0.0);
  std::ranges::sort(weights, std::greater<>());
  return weights;
}

Result<VariantSetTest> tail_test(double statistic, std::vector<double> weights) {
  const auto tail = mixture_tail::weighted_chi2_upper_tail(weights, statistic);
  if (!tail) return std::unexpected(tail.error());
  return VariantSetTest{statistic, tail->probability, std::move(weights), tail->method, tail->trustworthy};
}

Result<void> check_correlations(std::span<const double> correlations) {
  if (correlations.empty()) return fail("VARIANT_SET_NO_CORRELATIONS");
  for (const double rho : correlations) {
    if (!(rho >= 0.0 && rho < 1.0)) return fail("VARIANT_SET_CORRELATION_OUTSIDE_UNIT");
  }
  return {};
}

// The symmetric square root of the exchangeable correlation matrix (1 - rho) I + rho J.
Eigen::MatrixXd exchangeable_root(double rho, Eigen::Index q) {
  const double diagonal = std::sqrt(1.0 - rho);
  const double c = (std::sqrt(1.0 - rho + rho * static_cast<double>(q)) - diagonal) / static_cast<double>(q);
  Eigen::MatrixXd root = Eigen::MatrixXd::Constant(q, q, c);
  root.diagonal().array() += diagonal;
  return root;
}

}  // namespace

Result<VariantSetModel> VariantSetModel::build(std::span<const matrix_scan::Strided> backgrounds,
                                               const matrix_scan::Strided& design, const Eigen::VectorXd& response,
                                               bool reml) {
  const Eigen::Index n = design.rows;
  if (n == 0) return fail("VARIANT_SET_NO_ROWS");
  if (response.size() != n) return fail("VARIANT_SET_RESPONSE_WRONG_LENGTH");
  for (const matrix_scan::Strided& background : backgrounds) {
    if (background.rows != n || background.cols != n) return fail("VARIANT_SET_BACKGROUND_WRONG_SHAPE");
  }
  // One pass over each background gives its finiteness and the links of its nonzero entries.
  // The null keeps only the blocks over the groups those links join and makes its own checks
  // on them: every entry outside them is zero, and zeros pass every check.
  blocks::Links links(static_cast<std::size_t>(n));
  bool finite = true;
  for (const matrix_scan::Strided& background : backgrounds)
    finite = matrix_scan::scan(background, {}, &links).finite && finite;
  if (!finite || !matrix_scan::all_finite(design) || !response.allFinite()) return fail("VARIANT_SET_NOT_FINITE");
  const auto groups = std::make_shared<const block_matrix::Partition>(links.groups());
  components::BlockMatrices kept;
  kept.reserve(backgrounds.size());
  for (const matrix_scan::Strided& background : backgrounds)
    kept.push_back(block_matrix::BlockMatrix::cut(background, groups));

  const auto null = components::ComponentModel::build(std::move(kept), design);
  if (!null) return std::unexpected(null.error());
  const auto fit = null->fit_general(response, reml, {}, {});
  if (!fit) return std::unexpected(fit.error());
  if (!fit->converged) return fail("VARIANT_SET_NULL_DID_NOT_CONVERGE");

  // V is block diagonal over the null model's families: each block is assembled and
  // factored on its own.
  std::vector<Block> blocks;
  blocks.reserve(null->families().size());
  for (const components::Family& family : null->families()) {
    const Eigen::MatrixXd v = components::ComponentModel::assemble(null->matrices(), family.indices, fit->coefficients);
    auto factor = dense::DenseFactor::make(v);
    if (!factor) {
      if (reml && fit->coefficients.back() == 0.0)
        return on_null_face(*null, fit->coefficients, null->fixed_design().centre(response).residual);
      return fail("VARIANT_SET_COVARIANCE_NOT_POSITIVE_DEFINITE");
    }
    blocks.push_back({family.indices, std::move(*factor), {}});
  }
  // P is the same on any basis of the design's span: its orthogonal one keeps X'V^-1 X well
  // conditioned whatever a covariate's offset.
  const Eigen::MatrixXd& basis = null->fixed_design().orthogonal().columns();
  const Eigen::MatrixXd a = solve_blocks(blocks, basis);  // V^-1 X
  auto information = dense::DenseFactor::make(basis.transpose() * a);
  if (!information) return fail("VARIANT_SET_DESIGN_RANK_DEFICIENT");

  const Eigen::VectorXd centred = null->fixed_design().centre(response).residual;
  const Eigen::VectorXd solved = solve_blocks(blocks, centred);  // V^-1 r
  const Eigen::VectorXd beta = information->solve_vector(basis.transpose() * solved);
  return VariantSetModel(null->fixed_design(), std::move(blocks), std::move(*information), solved - a * beta, basis);
}

Result<VariantSetModel> VariantSetModel::on_null_face(const components::ComponentModel& null,
                                                      std::span<const double> coefficients,
                                                      const Eigen::VectorXd& centred) {
  const auto face = null.null_face(coefficients, centred);
  if (!face) return fail("VARIANT_SET_COVARIANCE_NOT_POSITIVE_DEFINITE");
  const Eigen::MatrixXd& basis = null.fixed_design().orthogonal().columns();
  const Eigen::MatrixXd design = singular_reml::orthonormal(basis) * face->complement;
  const Eigen::Index r = design.cols();
  std::vector<Block> blocks;
  blocks.reserve(null.families().size());
  Eigen::VectorXd projected(centred.size());
  for (std::size_t b = 0; b < null.families().size(); ++b) {
    const components::BlockSolve block = null.block_solve(face->solves, b);
    const auto split = singular_reml::split_null(block.inverse);
    if (!split) return fail("VARIANT_SET_COVARIANCE_NOT_POSITIVE_DEFINITE");
    const Eigen::Index kept = split->values.size() - split->null;
    const Eigen::MatrixXd root =
        (split->vectors.rightCols(kept) * split->values.tail(kept).cwiseSqrt().asDiagonal()).transpose();
    const Eigen::VectorXd p_y = block.solved_response - block.solved_design.leftCols(r) * face->beta.head(r);
    for (Eigen::Index a = 0; a < p_y.size(); ++a) projected(static_cast<Eigen::Index>(block.indices[a])) = p_y(a);
    blocks.push_back({block.indices, std::nullopt, root});
  }
  const Eigen::MatrixXd whitened = whiten(blocks, design);
  auto information = dense::DenseFactor::make(whitened.transpose() * whitened);
  if (!information) return fail("VARIANT_SET_DESIGN_RANK_DEFICIENT");
  return VariantSetModel(null.fixed_design(), std::move(blocks), std::move(*information), std::move(projected),
                         design);
}

Eigen::MatrixXd VariantSetModel::solve_blocks(const std::vector<Block>& blocks,
                                              const Eigen::Ref<const Eigen::MatrixXd>& b) {
  Eigen::MatrixXd solved(b.rows(), b.cols());
  Eigen::MatrixXd rows;
  for (const Block& block : blocks) {
    const auto s = static_cast<Eigen::Index>(block.indices.size());
    rows.resize(s, b.cols());
    for (Eigen::Index r = 0; r < s; ++r) rows.row(r) = b.row(static_cast<Eigen::Index>(block.indices[r]));
    const Eigen::MatrixXd x = block.factor->solve_matrix(rows);
    for (Eigen::Index r = 0; r < s; ++r) solved.row(static_cast<Eigen::Index>(block.indices[r])) = x.row(r);
  }
  return solved;
}

// A family's block is mostly of a handful of rows, where a solve through Eigen costs far more
// in its set-up than in its arithmetic: below the order at which factors move to LAPACK, the
// substitution is written out.
Eigen::MatrixXd VariantSetModel::whiten(const std::vector<Block>& blocks, const Eigen::Ref<const Eigen::MatrixXd>& b) {
  Eigen::Index total = 0;
  for (const Block& block : blocks)
    total += block.factor ? static_cast<Eigen::Index>(block.indices.size()) : block.root.rows();
  Eigen::MatrixXd whitened(total, b.cols());
  Eigen::Index first = 0;
  for (const Block& block : blocks) {
    if (!block.factor) {
      whitened.middleRows(first, block.root.rows()).noalias() = block.root * b(block.indices, Eigen::all);
      first += block.root.rows();
      continue;
    }
    const auto s = static_cast<Eigen::Index>(block.indices.size());
    const Eigen::MatrixXd& lower = block.factor->lower();
    auto rows = whitened.middleRows(first, s);
    const auto row = [&](Eigen::Index r) { return static_cast<Eigen::Index>(block.indices[static_cast<std::size_t>(r)]); };
    if (s >= dense::DenseFactor::large_order) {
      for (Eigen::Index c = 0; c < rows.cols(); ++c) {
        for (Eigen::Index r = 0; r < s; ++r) rows(r, c) = b(row(r), c);
      }
      block.factor->whiten_in_place(rows);
    } else {
      // Read straight from b: a row copy through Eigen costs more than a small block's solve.
      for (Eigen::Index c = 0; c < rows.cols(); ++c) {
        for (Eigen::Index i = 0; i < s; ++i) {
          double v = b(row(i), c);
          for (Eigen::Index k = 0; k < i; ++k) v -= lower(i, k) * rows(k, c);
          rows(i, c) = v / lower(i, i);
        }
      }
    }
    first += s;
  }
  return whitened;
}

Result<Projection> VariantSetModel::projected(const matrix_scan::Strided& root) const {
  if (root.rows != projected_response_.rows()) return fail("VARIANT_SET_ROOT_WRONG_SHAPE");
  if (root.cols == 0) return fail("VARIANT_SET_NO_VARIANTS");
  if (!matrix_scan::all_finite(root)) return fail("VARIANT_SET_NOT_FINITE");
  // Each variant less its fit on the design; one the design explains at rounding adds nothing
  // (P Z is exactly 0 for it) and a set of such variants has no carriers beyond the design.
  Eigen::MatrixXd z = root.copy();
  if ((z.array() == 0.0).all()) return fail("VARIANT_SET_NO_CARRIERS");
  const std::vector<bool> beyond = fixed_design_.beyond_each(z);
  for (Eigen::Index j = 0; j < z.cols(); ++j)
    if (!beyond[static_cast<std::size_t>(j)]) z.col(j).setZero();
  if (std::ranges::none_of(beyond, [](bool b) { return b; })) return fail("VARIANT_SET_NO_CARRIERS");

  Projection projection;
  projection.score = z.transpose() * projected_response_;
  // X'V^-1 Z and Z'V^-1 Z through the whitened design and set.
  const Eigen::MatrixXd w = whiten(blocks_, z);
  const Eigen::MatrixXd xw = whitened_design_.transpose() * w;
  const Eigen::MatrixXd zw = w.transpose() * w;
  const Eigen::MatrixXd c = zw - xw.transpose() * information_.solve_matrix(xw);
  projection.information = (c + c.transpose()) / 2.0;
  projection.eigenvalues = chi2_weights(projection.information);
  return projection;
}

Result<VariantSetTest> VariantSetModel::test(const matrix_scan::Strided& root) const {
  auto projection = projected(root);
  if (!projection) return std::unexpected(projection.error());
  double statistic = 0.0;
  for (const double u : projection->score) statistic += u * u;
  return tail_test(statistic, std::move(projection->eigenvalues));
}

Result<VariantSetFamily> VariantSetModel::test_family(const matrix_scan::Strided& root,
                                                      std::span<const double> correlations) const {
  if (auto checked = check_correlations(correlations); !checked) return std::unexpected(checked.error());
  const auto projection = projected(root);
  if (!projection) return std::unexpected(projection.error());
  double s1 = 0.0;
  double s2 = 0.0;
  for (const double u : projection->score) {
    s1 += u;
    s2 += u * u;
  }

  VariantSetFamily family;
  family.correlations.assign(correlations.begin(), correlations.end());
  const Eigen::Index q = projection->score.size();
  for (const double rho : correlations) {
    const Eigen::MatrixXd root_r = exchangeable_root(rho, q);
    Eigen::MatrixXd m = root_r * projection->information * root_r;
    m = (m + m.transpose()) / 2.0;
    const double statistic = (1.0 - rho) * s2 + rho * (s1 * s1);
    auto test = tail_test(statistic, chi2_weights(m));
    if (!test) return std::unexpected(test.error());
    family.tests.push_back(std::move(*test));
  }

  std::vector<double> p_values;
  std::size_t strongest = 0;
  for (std::size_t i = 0; i < family.tests.size(); ++i) {
    p_values.push_back(family.tests[i].p_value);
    if (family.tests[i].p_value < family.tests[strongest].p_value) strongest = i;
  }
  family.strongest_correlation = correlations[strongest];
  family.p_value = cauchy_combination(p_values);
  family.trustworthy = std::ranges::all_of(family.tests, &VariantSetTest::trustworthy);
  return family;
}

double cauchy_combination(std::span<const double> p_values) {
  const double count = static_cast<double>(p_values.size());
  double sum = 0.0;
  for (const double p : p_values) {
    const double clamped = std::fmin(std::fmax(p, 1e-300), 0.999999);
    sum += clamped < 1e-6 ? 1.0 / (clamped * pi) : std::tan((0.5 - clamped) * pi);
  }
  const double t = sum / count;
  return t <= 1.0 ? 0.5 - std::atan(t) / pi : std::atan(1.0 / t) / pi;
}

}  // namespace kestrune::variant_set
