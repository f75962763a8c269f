#include "components/model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/Eigenvalues>

#include "numerics/dense.hpp"

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

// Finiteness and symmetry within the tolerance in one pass, tile by tile so that both mirror
// entries stay in cache; also whether the two triangles agree on which entries are zero.
struct Scan {
  bool finite = true;
  bool within_tolerance = true;
  bool same_pattern = true;
};

Scan scan(const Eigen::MatrixXd& k) {
  constexpr Eigen::Index tile = 64;
  const Eigen::Index n = k.rows();
  Scan result;
  for (Eigen::Index c0 = 0; c0 < n; c0 += tile) {
    const Eigen::Index c1 = std::min(n, c0 + tile);
    for (Eigen::Index r0 = c0; r0 < n; r0 += tile) {
      const Eigen::Index r1 = std::min(n, r0 + tile);
      // Without branches (& rather than &&): the whole tile is read either way.
      bool finite = true, within_tolerance = true, same_pattern = true;
      for (Eigen::Index c = c0; c < c1; ++c) {
        for (Eigen::Index r = std::max(r0, c); r < r1; ++r) {
          const double below = k(r, c), above = k(c, r);
          finite &= std::isfinite(below) & std::isfinite(above);
          within_tolerance &= !(std::fabs(below - above) > symmetry_tolerance);
          same_pattern &= (below != 0.0) == (above != 0.0);
        }
      }
      result.finite &= finite;
      result.within_tolerance &= within_tolerance;
      result.same_pattern &= same_pattern;
    }
  }
  return result;
}

// The checks of one matrix, in order: size, finiteness, symmetry. Whether its zero pattern is
// symmetric.
Result<bool> check_matrix(const Eigen::MatrixXd& k, Eigen::Index n) {
  if (k.rows() != n || k.cols() != n) return fail("COMPONENTS_MATRIX_WRONG_SIZE");
  const Scan found = scan(k);
  if (!found.finite) return fail("COMPONENTS_MATRIX_NOT_FINITE");
  if (!found.within_tolerance) return fail("COMPONENTS_MATRIX_NOT_SYMMETRIC");
  return found.same_pattern;
}

// Two people are linked when some K_j holds a nonzero entry at (u, v) as supplied. When
// every matrix has the same zero pattern in both triangles, (v, u) says the same and is read
// down a column, which is contiguous.
std::vector<blocks::Block> link_blocks(const Matrices& matrices, std::size_t n, bool same_pattern) {
  return blocks::connected_components(n, [&](std::size_t u, std::size_t v) {
    const auto row = static_cast<Eigen::Index>(same_pattern ? v : u);
    const auto column = static_cast<Eigen::Index>(same_pattern ? u : v);
    for (const auto& k : matrices)
      if (k(row, column) != 0.0) return true;
    return false;
  });
}

std::vector<Family> cut_families(const Matrices& matrices, const Eigen::MatrixXd& design,
                                 std::vector<blocks::Block> found) {
  std::vector<Family> families;
  families.reserve(found.size());
  Eigen::Index offset = 0, square_offset = 0;
  for (auto& indices : found) {
    Family family;
    family.kernels.reserve(matrices.size());
    for (const auto& k : matrices) family.kernels.emplace_back(k(indices, indices));
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

// Scratch of one pass over the blocks, sized once for the largest block.
struct Scratch {
  explicit Scratch(Eigen::Index largest, Eigen::Index p)
      : covariance(static_cast<std::size_t>(largest * largest)),
        rhs(static_cast<std::size_t>(largest)),
        solved(static_cast<std::size_t>(largest)),
        design(static_cast<std::size_t>(largest * p)) {}
  std::vector<double> covariance, rhs, solved, design;
};

using Map = Eigen::Map<Eigen::MatrixXd>;
using VectorMap = Eigen::Map<Eigen::VectorXd>;

// The inner products <K_i, K_j> for j <= i, in one pass down the columns of all the matrices.
Eigen::MatrixXd inner_products(const Matrices& matrices) {
  const auto m = static_cast<Eigen::Index>(matrices.size());
  Eigen::MatrixXd products = Eigen::MatrixXd::Zero(m, m);
  const Eigen::Index columns = m == 0 ? 0 : matrices[0].cols();
  for (Eigen::Index c = 0; c < columns; ++c)
    for (Eigen::Index i = 0; i < m; ++i)
      for (Eigen::Index j = 0; j <= i; ++j) products(i, j) += matrices[i].col(c).dot(matrices[j].col(c));
  return products;
}

// True when the m matrices and the n x n identity are linearly independent as vectors of
// n^2 entries: their Gram matrix of cosines has smallest eigenvalue > 1e-12 * largest.
bool covariance_bases_are_identified(const Matrices& matrices, std::size_t n) {
  const std::size_t m = matrices.size();
  const Eigen::MatrixXd products = inner_products(matrices);
  std::vector<double> norms;
  for (std::size_t j = 0; j < m; ++j) norms.push_back(std::sqrt(products(j, j)));
  norms.push_back(std::sqrt(static_cast<double>(n)));
  for (const double norm : norms)
    if (!(std::isfinite(norm) && norm > 0.0)) return false;

  Eigen::MatrixXd gram(m + 1, m + 1);
  for (std::size_t i = 0; i <= m; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double cosine;
      if (i < m) {
        cosine = products(i, j) / (norms[i] * norms[j]);
      } else if (j < m) {
        cosine = matrices[j].trace() / (norms[m] * norms[j]);
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

}  // namespace

// ---- construction -------------------------------------------------------------------------

Result<ComponentModel> ComponentModel::build(Matrices matrices, Eigen::MatrixXd design) {
  if (matrices.empty()) return fail("COMPONENTS_NONE_GIVEN");
  const Eigen::Index n = design.rows();
  if (n == 0) return fail("COMPONENTS_NO_ROWS");
  if (!design.allFinite()) return fail("COMPONENTS_DESIGN_NOT_FINITE");
  bool same_pattern = true;
  for (const auto& k : matrices) {
    auto symmetric_pattern = check_matrix(k, n);
    if (!symmetric_pattern) return std::unexpected(symmetric_pattern.error());
    same_pattern = same_pattern && *symmetric_pattern;
  }
  const auto rows = static_cast<std::size_t>(n);
  if (!covariance_bases_are_identified(matrices, rows)) return fail("COMPONENTS_COVARIANCE_BASES_RANK_DEFICIENT");

  // Rank is judged at the rounding level of each column; ln det X'X then needs only a factor.
  std::optional<fixed_effects::Design> fixed_design = fixed_effects::Design::prepare(design);
  if (!fixed_design) return fail("COMPONENTS_DESIGN_RANK_DEFICIENT");
  const Eigen::MatrixXd xtx = design.transpose() * design;
  const auto xtx_factor = dense::DenseFactor::make(xtx);
  if (!xtx_factor) return fail("COMPONENTS_DESIGN_RANK_DEFICIENT");
  std::vector<blocks::Block> found = link_blocks(matrices, rows, same_pattern);

  ComponentModel model;
  model.fixed_design_ = std::move(fixed_design);
  model.families_ = cut_families(matrices, design, std::move(found));
  for (const auto& family : model.families_)
    model.largest_ = std::max(model.largest_, static_cast<Eigen::Index>(family.indices.size()));
  model.xtx_logdet_ = xtx_factor->logdet();
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

Matrices all_but(const Matrices& matrices, std::size_t index) {
  Matrices kept;
  for (std::size_t j = 0; j < matrices.size(); ++j)
    if (j != index) kept.push_back(matrices[j]);
  return kept;
}

Matrices outside(const Matrices& matrices, std::span<const std::size_t> indices) {
  Matrices kept;
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
    solved.solves = BlockSolves{std::vector<double>(static_cast<std::size_t>(last.square_offset + s * s)),
                                Eigen::VectorXd(n_), Eigen::MatrixXd(n_, p)};
  }
  Scratch scratch(largest_, p);
  for (const Family& family : families_) {
    const auto s = static_cast<Eigen::Index>(family.indices.size());
    Map v(scratch.covariance.data(), s, s);
    assemble_into(v, coefficients, matrices_.size(), [&](std::size_t j) -> const Eigen::MatrixXd& {
      return family.kernels[j];
    });
    const auto factor = dense::FactorView::make(v);
    if (!factor) return std::nullopt;

    VectorMap r(scratch.rhs.data(), s);
    for (Eigen::Index a = 0; a < s; ++a) r(a) = rhs(static_cast<Eigen::Index>(family.indices[a]));
    // Solved into the kept arenas, or into scratch that the next block overwrites.
    Eigen::Ref<Eigen::VectorXd> u = keep ? Eigen::Ref<Eigen::VectorXd>(solved.solves->solved_response.segment(family.offset, s))
                                         : Eigen::Ref<Eigen::VectorXd>(VectorMap(scratch.solved.data(), s));
    Eigen::Ref<Eigen::MatrixXd> w = keep ? Eigen::Ref<Eigen::MatrixXd>(solved.solves->solved_design.middleRows(family.offset, s))
                                         : Eigen::Ref<Eigen::MatrixXd>(Map(scratch.design.data(), s, p));
    u = r;
    factor->solve_in_place(u);
    w = family.design;
    factor->solve_in_place(w);

    solved.xtvx.noalias() += family.design.transpose() * w;
    solved.xtvr.noalias() += family.design.transpose() * u;
    solved.logdet += factor->logdet();
    solved.quadratic += r.dot(u);
    if (keep) {
      Map inverse(solved.solves->inverses.data() + family.square_offset, s, s);
      inverse.setIdentity();
      factor->solve_in_place(inverse);
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
