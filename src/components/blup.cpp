// Best linear unbiased predictions of one component's effects, block by block: no n x n
// matrix is formed, and the blocks meet only through C = (X'V^-1 X)^-1.
#include <cmath>

#include "components/inference.hpp"
#include "numerics/dense.hpp"

namespace kestrune::components {

Result<std::pair<std::vector<double>, std::vector<double>>> blup(const ComponentModel& model,
                                                                 const Eigen::VectorXd& y, std::size_t c,
                                                                 bool reml) {
  if (c >= model.m()) return fail("COMPONENTS_NO_SUCH_COMPONENT_TO_PREDICT");
  auto fit = model.fit_general(y, reml, {}, {});
  if (!fit) return std::unexpected(fit.error());
  if (!fit->converged) return fail("COMPONENTS_FIT_NOT_CONVERGED");

  const Eigen::Map<const Eigen::VectorXd> beta(fit->beta.data(), static_cast<Eigen::Index>(fit->beta.size()));
  const Eigen::VectorXd residual = y - model.design() * beta;
  // First pass: each block's V^-1, V^-1 r and V^-1 X, and X'V^-1 X over all blocks. A REML fit on
  // the face where the residual is 0 and V singular along the design's span predicts from the
  // limits there, as the likelihood does: V's pseudo-inverse and the part of the design orthogonal
  // to that null space.
  std::optional<BlockSolves> solves;
  Eigen::MatrixXd cov;
  auto solved = model.solve_blocks(fit->coefficients, residual, true);
  auto face = reml && model.at_singular_face(fit->coefficients, solved) ? model.null_face(fit->coefficients, residual)
                                                                       : std::nullopt;
  if (face) {
    cov = std::move(face->covariance);
    solves = std::move(face->solves);
  } else if (solved) {
    const auto m_factor = dense::DenseFactor::make(solved->xtvx);
    if (!m_factor) return fail("COMPONENTS_DESIGN_RANK_DEFICIENT");
    cov = m_factor->inverse();
    solves = std::move(solved->solves);
  } else {
    return fail("COMPONENTS_NOT_POSITIVE_DEFINITE");
  }

  // Second pass: u = G V^-1 r and the diagonal of G - G V^-1 G + G V^-1 X C X'V^-1 G, G = theta_c K_c.
  std::vector<double> effects(model.n(), 0.0), errors(model.n(), 0.0);
  const double theta = fit->coefficients[c];
  for (std::size_t b = 0; b < model.families().size(); ++b) {
    const BlockSolve block = model.block_solve(*solves, b);
    const Eigen::MatrixXd g = theta * model.kernel(b, c);
    const Eigen::VectorXd u = g * block.solved_response;
    const Eigen::MatrixXd gv = g * block.inverse;
    const Eigen::MatrixXd h = g * block.solved_design;
    const Eigen::MatrixXd hc = h * cov;
    for (Eigen::Index s = 0; s < g.rows(); ++s) {
      const double q = gv.row(s).dot(g.col(s));
      const double e = hc.row(s).dot(h.row(s));
      const std::size_t person = block.indices[static_cast<std::size_t>(s)];
      effects[person] = u[s];
      errors[person] = std::sqrt(std::fmax(g(s, s) - q + e, 0.0));
    }
  }
  return std::pair{std::move(effects), std::move(errors)};
}

}  // namespace kestrune::components
