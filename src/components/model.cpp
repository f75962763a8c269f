#include "components/model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/Eigenvalues>

#include "numerics/dense.hpp"
#include "numerics/matrix_scale.hpp"
#include "numerics/rank.hpp"

namespace kestrune::components {
namespace {

constexpr double symmetry_tolerance = 1e-10;

// sum_j c_j K_j over the structured components in index order, a coefficient equal to zero
// skipped, then the residual on the diagonal. kernel(j) is K_j restricted to the block.
template <class Kernel>
void assemble_into(Eigen::Ref<Eigen::MatrixXd> out, std::span<const double> coefficients, std::size_t m,
                   Kernel kernel) {
  out.setZero();
  for (std::size_t j = 0; j < m; ++j) {
    if (coefficients[j] == 0.0) continue;
    out += coefficients[j] * kernel(j);
  }
  out.diagonal().array() += coefficients[m];
}

// The families of the kept matrices: their groups when every link was met from both sides;
// otherwise the row rule of family_blocks over the union of their patterns, and each family
// that is only part of its group gets its own cut of the matrices.
std::vector<Family> cut_families(const BlockMatrices& matrices, const Eigen::MatrixXd& design,
                                 blocks::Links& links) {
  const block_matrix::Partition& groups = *matrices.front().partition();
  std::vector<blocks::Block> found = links.families([&](std::size_t u, std::size_t v) {
    for (const auto& k : matrices)
      if (k(u, v) != 0.0) return true;
    return false;
  });
  std::vector<Family> families;
  families.reserve(found.size());
  Eigen::Index offset = 0, square_offset = 0;
  for (auto& indices : found) {
    Family family;
    family.group = groups.part_of(indices.front());
    if (indices.size() != groups.parts()[family.group].size()) {
      family.kernels.reserve(matrices.size());
      for (const auto& k : matrices) family.kernels.push_back(k.cut(indices));
    }
    family.design = design(indices, Eigen::all);
    const auto s = static_cast<Eigen::Index>(indices.size());
    family.offset = offset;
    family.square_offset = square_offset;
    offset += s;
    square_offset += s * s;
    family.indices = std::move(indices);
    families.push_back(std::move(family));
  }
  return families;
}

// Scratch of one pass over the blocks, sized once for the largest block; without a
// covariance when each block's is assembled where its inverse is kept.
struct Scratch {
  explicit Scratch(Eigen::Index largest, Eigen::Index p, bool covariance)
      : covariance(covariance ? static_cast<std::size_t>(largest * largest) : 0),
        rhs(static_cast<std::size_t>(largest)),
        solved(static_cast<std::size_t>(largest)),
        design(static_cast<std::size_t>(largest * p)) {}
  std::vector<double> covariance, rhs, solved, design;
};

using Map = Eigen::Map<Eigen::MatrixXd>;
using VectorMap = Eigen::Map<Eigen::VectorXd>;

// A power of two that brings a matrix's largest |entry| into [1, 2): the identification's cosines
// and a matrix's size are the same for K and for K times a power of two, to the last bit, while
// K's own squared entries may overflow (or underflow to 0) in units far from 1. 1 for a zero matrix.
double unit_scale(const block_matrix::BlockMatrix& k) {
  double largest = 0.0;
  for (std::size_t part = 0; part < k.partition()->parts().size(); ++part)
    if (k.block(part).size() > 0) largest = std::fmax(largest, k.block(part).cwiseAbs().maxCoeff());
  if (!(largest > 0.0) || !std::isfinite(largest)) return 1.0;
  return std::ldexp(1.0, -std::ilogb(largest));
}

// <a sa, b sb> block by block, the scales applied as the entries are read.
double scaled_inner_product(const block_matrix::BlockMatrix& a, double sa, const block_matrix::BlockMatrix& b,
                            double sb) {
  double sum = 0.0;
  for (std::size_t part = 0; part < a.partition()->parts().size(); ++part)
    sum += (a.block(part) * sa).cwiseProduct(b.block(part) * sb).sum();
  return sum;
}

// True when the m matrices and the n x n identity are linearly independent as vectors of
// n^2 entries: their Gram matrix of cosines has smallest eigenvalue > 1e-12 * largest. Each
// matrix is read at its unit_scale, which leaves every cosine as it is.
bool covariance_bases_are_identified(const BlockMatrices& matrices, std::size_t n) {
  const std::size_t m = matrices.size();
  std::vector<double> scales;
  for (const auto& k : matrices) scales.push_back(unit_scale(k));
  std::vector<std::vector<double>> products(m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j <= i; ++j)
      products[i].push_back(scaled_inner_product(matrices[i], scales[i], matrices[j], scales[j]));
  std::vector<double> norms;
  for (std::size_t j = 0; j < m; ++j) norms.push_back(std::sqrt(products[j][j]));
  norms.push_back(std::sqrt(static_cast<double>(n)));
  for (const double norm : norms)
    if (!(std::isfinite(norm) && norm > 0.0)) return false;

  Eigen::MatrixXd gram(m + 1, m + 1);
  for (std::size_t i = 0; i <= m; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double cosine;
      if (i < m) {
        cosine = products[i][j] / (norms[i] * norms[j]);
      } else if (j < m) {
        cosine = matrices[j].trace() * scales[j] / (norms[m] * norms[j]);
      } else {
        cosine = static_cast<double>(n) / (norms[m] * norms[m]);
      }
      gram(i, j) = gram(j, i) = cosine;
    }
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(gram, Eigen::EigenvaluesOnly);
  double smallest = std::numeric_limits<double>::infinity(), largest = 0.0;
  for (const double value : eigen.eigenvalues()) {
    smallest = std::fmin(smallest, value);
    largest = std::fmax(largest, value);
  }
  return smallest > 1e-12 * largest;
}

// The size of each matrix (ComponentModel::sizes), then the residual's 1. Computed at the matrix's
// unit_scale and scaled back, so that units whose squares overflow keep a size.
std::vector<double> matrix_sizes(const BlockMatrices& matrices, std::size_t n) {
  std::vector<double> sizes;
  for (const auto& k : matrices) {
    const double scale = unit_scale(k);
    double diagonal = 0.0;
    for (std::size_t part = 0; part < k.partition()->parts().size(); ++part)
      diagonal += (k.block(part).diagonal() * scale).cwiseAbs().sum();
    const double size = matrix_scale::size_of(diagonal, scaled_inner_product(k, scale, k, scale),
                                              static_cast<double>(n)) / scale;
    sizes.push_back(std::isfinite(size) && size > 0.0 ? size : 1.0);
  }
  sizes.push_back(1.0);
  return sizes;
}

}  // namespace

// ---- construction -------------------------------------------------------------------------

namespace {

// The checks before the matrices' own, in order.
Result<std::size_t> check_head(std::size_t matrices, const matrix_scan::Strided& design) {
  if (matrices == 0) return fail("COMPONENTS_NONE_GIVEN");
  if (design.rows == 0) return fail("COMPONENTS_NO_ROWS");
  if (!matrix_scan::all_finite(design)) return fail("COMPONENTS_DESIGN_NOT_FINITE");
  return static_cast<std::size_t>(design.rows);
}

const matrix_scan::Tests symmetry{symmetry_tolerance, std::nullopt};

// A whole matrix and a kept one answer the same checks.
bool has_order(const matrix_scan::Strided& k, std::size_t n) {
  return k.rows == static_cast<Eigen::Index>(n) && k.cols == static_cast<Eigen::Index>(n);
}
bool has_order(const block_matrix::BlockMatrix& k, std::size_t n) { return k.n() == n; }
matrix_scan::Findings scan_linking(const matrix_scan::Strided& k, blocks::Links& links) {
  return matrix_scan::scan(k, symmetry, &links);
}
matrix_scan::Findings scan_linking(const block_matrix::BlockMatrix& k, blocks::Links& links) {
  return block_matrix::scan(k, symmetry, &links);
}

// Each matrix's checks in turn, its size and then one pass for the rest, every link joining the
// groups; then the matrices' blocks over those groups (for kept matrices the links can only
// split their groups further).
template <class Whole>
Result<BlockMatrices> checked_blocks(std::span<const Whole> matrices, blocks::Links& links) {
  for (const Whole& k : matrices) {
    if (!has_order(k, links.size())) return fail("COMPONENTS_MATRIX_WRONG_SIZE");
    const matrix_scan::Findings found = scan_linking(k, links);
    if (!found.finite) return fail("COMPONENTS_MATRIX_NOT_FINITE");
    if (!found.symmetric) return fail("COMPONENTS_MATRIX_NOT_SYMMETRIC");
  }
  const auto groups = std::make_shared<const block_matrix::Partition>(links.groups());
  BlockMatrices kept;
  kept.reserve(matrices.size());
  for (const Whole& k : matrices) kept.push_back(block_matrix::BlockMatrix::cut(k, groups));
  return kept;
}

}  // namespace

Result<ComponentModel> ComponentModel::build(std::span<const matrix_scan::Strided> matrices,
                                             const matrix_scan::Strided& design) {
  const auto n = check_head(matrices.size(), design);
  if (!n) return std::unexpected(n.error());
  blocks::Links links(*n);
  auto kept = checked_blocks(matrices, links);
  if (!kept) return std::unexpected(kept.error());
  return finish(std::move(*kept), links, design);
}

Result<ComponentModel> ComponentModel::build(const Matrices& matrices, const matrix_scan::Strided& design) {
  const std::vector<matrix_scan::Strided> views(matrices.begin(), matrices.end());
  return build(views, design);
}

Result<ComponentModel> ComponentModel::build(BlockMatrices matrices, const matrix_scan::Strided& design) {
  const auto n = check_head(matrices.size(), design);
  if (!n) return std::unexpected(n.error());
  blocks::Links links(*n);
  auto kept = checked_blocks(std::span<const block_matrix::BlockMatrix>(matrices), links);
  if (!kept) return std::unexpected(kept.error());
  return finish(std::move(*kept), links, design);
}

Result<ComponentModel> ComponentModel::finish(BlockMatrices matrices, blocks::Links& links,
                                              const matrix_scan::Strided& design_view) {
  const auto rows = static_cast<std::size_t>(design_view.rows);
  if (!covariance_bases_are_identified(matrices, rows)) return fail("COMPONENTS_COVARIANCE_BASES_RANK_DEFICIENT");
  if (rank::too_wide(design_view.rows, design_view.cols)) return fail("COMPONENTS_DESIGN_RANK_DEFICIENT");
  Eigen::MatrixXd design = design_view.copy();  // once its shape can be kept

  // Rank is judged at the rounding level of each column, by the rule every entry shares (X'X
  // is never formed: its factor would refuse a well-posed design once a column's offset passes
  // about 1e8 of its spread, at random); the fit then runs on the orthogonal basis, whose
  // ln det B'B equals ln det X'X without its rounding.
  std::optional<fixed_effects::Design> fixed_design = fixed_effects::Design::prepare(design);
  if (!fixed_design) return fail("COMPONENTS_DESIGN_RANK_DEFICIENT");
  const Eigen::MatrixXd& basis = fixed_design->orthogonal().columns();
  if (!dense::DenseFactor::make(basis.transpose() * basis)) return fail("COMPONENTS_DESIGN_RANK_DEFICIENT");

  ComponentModel model;
  model.families_ = cut_families(matrices, basis, links);
  model.fixed_design_ = std::move(fixed_design);
  for (const auto& family : model.families_)
    model.largest_ = std::max(model.largest_, static_cast<Eigen::Index>(family.indices.size()));
  model.xtx_logdet_ = model.fixed_design_->orthogonal().log_det_gram();
  model.sizes_ = matrix_sizes(matrices, rows);
  model.matrices_ = std::move(matrices);
  model.design_ = std::move(design);
  model.n_ = rows;
  return model;
}

Eigen::MatrixXd ComponentModel::assemble(const Matrices& matrices, const blocks::Block& block,
                                         std::span<const double> coefficients) {
  const auto s = static_cast<Eigen::Index>(block.size());
  Eigen::MatrixXd v(s, s);
  assemble_into(v, coefficients, matrices.size(), [&](std::size_t j) { return matrices[j](block, block); });
  return v;
}

Eigen::MatrixXd ComponentModel::assemble(const BlockMatrices& matrices, const blocks::Block& block,
                                         std::span<const double> coefficients) {
  const auto s = static_cast<Eigen::Index>(block.size());
  Eigen::MatrixXd v(s, s);
  assemble_into(v, coefficients, matrices.size(), [&](std::size_t j) { return matrices[j].cut(block); });
  return v;
}

BlockMatrices all_but(const BlockMatrices& matrices, std::size_t index) {
  BlockMatrices kept;
  for (std::size_t j = 0; j < matrices.size(); ++j)
    if (j != index) kept.push_back(matrices[j]);
  return kept;
}

BlockMatrices outside(const BlockMatrices& matrices, std::span<const std::size_t> indices) {
  BlockMatrices kept;
  for (std::size_t j = 0; j < matrices.size(); ++j)
    if (std::find(indices.begin(), indices.end(), j) == indices.end()) kept.push_back(matrices[j]);
  return kept;
}

// ---- the pass over the blocks ---------------------------------------------------------------

std::optional<ComponentModel::Solved> ComponentModel::solve_blocks(std::span<const double> coefficients,
                                                                   const Eigen::VectorXd& rhs, bool keep) const {
  const Eigen::Index p = design_.cols();
  Solved solved{Eigen::MatrixXd::Zero(p, p), Eigen::VectorXd::Zero(p), 0.0, 0.0, std::nullopt};
  if (keep) {
    const Family& last = families_.back();
    const auto s = static_cast<Eigen::Index>(last.indices.size());
    solved.solves = BlockSolves{Eigen::VectorXd(last.square_offset + s * s), Eigen::VectorXd(n_),
                                Eigen::MatrixXd(n_, p)};
  }
  Scratch scratch(largest_, p, !keep);
  for (std::size_t b = 0; b < families_.size(); ++b) {
    const Family& family = families_[b];
    const auto s = static_cast<Eigen::Index>(family.indices.size());
    // Kept, the covariance is assembled and factored where its inverse is to stay.
    Map v(keep ? solved.solves->inverses.data() + family.square_offset : scratch.covariance.data(), s, s);
    assemble_into(v, coefficients, matrices_.size(), [&](std::size_t j) -> const Eigen::MatrixXd& {
      return kernel(b, j);
    });
    const double top = v.diagonal().cwiseAbs().maxCoeff();
    auto factor = dense::FactorView::make(v);
    if (!factor) return std::nullopt;
    // v's lower triangle now holds the factor, its diagonal the pivots' roots.
    const double rounding = 64.0 * static_cast<double>(s * s) * std::numeric_limits<double>::epsilon() * top;
    solved.near_singular = solved.near_singular || (v.diagonal().array().square() <= rounding).any();

    VectorMap r(scratch.rhs.data(), s);
    for (Eigen::Index a = 0; a < s; ++a) r(a) = rhs(static_cast<Eigen::Index>(family.indices[a]));
    // Solved in scratch whether kept or not, so that the sums below do not depend on `keep`.
    VectorMap u(scratch.solved.data(), s);
    Map w(scratch.design.data(), s, p);
    u = r;
    factor->solve_in_place(u);
    w = family.design;
    factor->solve_in_place(w);

    solved.xtvx.noalias() += family.design.transpose() * w;
    solved.xtvr.noalias() += family.design.transpose() * u;
    solved.logdet += factor->logdet();
    solved.quadratic += r.dot(u);
    if (keep) {
      solved.solves->solved_response.segment(family.offset, s) = u;
      solved.solves->solved_design.middleRows(family.offset, s) = w;
      std::move(*factor).invert_in_place();
    }
  }
  return solved;
}

BlockSolve ComponentModel::block_solve(const BlockSolves& solves, std::size_t block) const {
  const Family& family = families_[block];
  const auto s = static_cast<Eigen::Index>(family.indices.size());
  return BlockSolve{family.indices,
                    Eigen::Map<const Eigen::MatrixXd>(solves.inverses.data() + family.square_offset, s, s),
                    solves.solved_response.segment(family.offset, s),
                    solves.solved_design.middleRows(family.offset, s)};
}

}  // namespace kestrune::components
