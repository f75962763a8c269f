// The Gaussian likelihood of a whole sample under one dense covariance, with the fixed
// effects profiled out, and its analytic gradient.
//
// The covariance of n people is V = sum_l c_l A_l + c_g R[g(i)][g(j)] + c_e I: given n x n
// matrices A_l, a kernel R over the places people share (sites, grid cells) spread to pairs
// of people through each person's place g(i), and a residual. Every place-level derivative
// works on the k x k sums Z'V^-1 Z, Z'r and Z'B of the place indicator Z.
//
// Two routes give the same numbers up to rounding. The dense one factors V itself (LAPACK at
// every order) and reads V^-1 once per given matrix. Where the given matrices fall into
// small families and the places are well fewer than the people, V = F + c_g Z R Z' with F
// block diagonal by family, and the place route works through k x k systems instead: with
// W = Z'F^-1 Z and T = W^-1 + c_g R, det V = det F det W det T and
// V^-1 = F^-1 - F^-1 Z (W^-1 - W^-1 T^-1 W^-1) Z'F^-1 (the matrix determinant lemma and
// Woodbury's identity), so an evaluation costs family-sized and place-sized factorisations,
// not n^3.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "numerics/blocks.hpp"
#include "numerics/centring.hpp"
#include "numerics/design_basis.hpp"
#include "numerics/singular_reml.hpp"

namespace kestrune::whole_sample {

using centring::Standardised;

// The response centred on the design and standardised (centring::standardise).
std::optional<Standardised> standardise(const centring::LeastSquares& design, const Eigen::VectorXd& y);

// A model fits on an orthogonal basis B of its design's span (X = B U, det U = 1), so that a
// covariate's offset costs the fit no digits: the likelihood is the same, and the fixed
// effects leave on X's columns.

// The fixed effects on the response's scale, from those of the standardised response (on X's
// columns) and the least-squares coefficients b on B: sd beta + U^-1 b.
std::vector<double> effects_on_response_scale(const Eigen::VectorXd& beta, const Standardised& response,
                                              const design_basis::Basis& basis);

// The families of the given matrices (the connected components of their joint nonzero
// pattern) with the places each family's members live at, and whether the place route pays:
// fixed for a model, so made once when it is built.
struct Families {
  std::vector<blocks::Block> members;            // ascending, ordered by smallest member
  std::vector<std::vector<Eigen::Index>> places;  // each family's distinct places, ascending
  std::vector<Eigen::Index> slot;                 // per person: its place's position in its family's list
  bool through_places = false;  // the place route costs less than factoring V
};

// The families of `fixed` (each n x n) for people at the places `group_of` (below `places`),
// and the route's cost against the dense one's.
Families plan(std::span<const Eigen::MatrixXd> fixed, std::span<const std::size_t> group_of, std::size_t places);

// The terms of V at one point. Terms whose coefficient is exactly 0.0 are skipped.
struct GroupedCovariance {
  std::span<const Eigen::MatrixXd> fixed;      // A_1 .. A_m, each n x n
  std::span<const double> fixed_coefficients;  // c_1 .. c_m
  std::span<const std::size_t> group_of;       // g(i) for each of the n people
  const Eigen::MatrixXd& kernel;               // R, k x k over the places
  double kernel_coefficient;                   // c_g
  double residual;                             // c_e
  const Families* families = nullptr;          // the model's plan; none: the dense route
};

// What the design contributes, fixed for a model.
struct Design {
  const Eigen::MatrixXd& x;  // n x p
  double logdet_xtx;         // ln det X'X
  // When x is this basis's columns: the fixed effects and their covariance are mapped to the
  // columns of the design it was made from.
  const design_basis::Basis* basis = nullptr;
};

struct WholeSampleLikelihood {
  double value;                    // -l (ML) or -l_R (REML)
  Eigen::VectorXd beta;            // (X'V^-1 X)^-1 X'V^-1 y
  Eigen::MatrixXd beta_covariance; // (X'V^-1 X)^-1
  // d value / d(c_1 .. c_m, c_g, c_e, then each place-level derivative given); empty when
  // the gradient was not asked for.
  std::vector<double> gradient;
};

// The storage of the order of n x n (or places x places) one evaluation needs, kept between
// evaluations of one call so that a fit, a bootstrap or an interval allocates it once.
struct Workspace {
  Eigen::MatrixXd covariance;     // V, then its factor
  Eigen::VectorXd diagonal;       // V's diagonal, kept where a factor's pivots are judged against it
  Eigen::MatrixXd inverse;        // V^-1, when a gradient asks for it
  Eigen::MatrixXd place_inverse;  // Z'V^-1 Z
  Eigen::MatrixXd kernel;         // for the model's own use: its place kernel
  Eigen::MatrixXd derivative;     // and a place-level derivative
  // The place route: per family the factor of F_f, F_f^-1 Z_f and the family's block of
  // V^-1; over the places W = Z'F^-1 Z and its factor, W^-1, T = W^-1 + c_g R and its
  // factor L_T, and L_T^-1 (place_inverse above then holds T^-1 = Z'V^-1 Z).
  std::vector<Eigen::MatrixXd> family_factor;
  std::vector<Eigen::MatrixXd> family_places;
  std::vector<Eigen::MatrixXd> family_inverse;
  Eigen::MatrixXd place_gram;
  Eigen::MatrixXd gram_inverse;
  Eigen::MatrixXd capacitance;
  Eigen::MatrixXd capacitance_inverse_factor;
  // Under REML with no residual, the split of a singular V.
  singular_reml::SplitStorage face;
};

// Whether V with its residual taken out is positive semi-definite and singular at rounding (its
// least eigenvalue within rounding of 0, eigen::zero_rounding): under ML the likelihood rises
// without bound as the residual falls to 0 there, wherever the design spans V's zero directions.
bool singular_without_residual(GroupedCovariance covariance, Workspace& workspace);

// The value, the GLS fixed effects (on the columns of the design a basis was made from, when
// one is given) and, when asked, the gradient; nothing when V or X'V^-1 X is not positive
// definite, ln det V is not finite, or y'Py is not finite and above its rounding. With the
// residual at exactly 0 a V singular at rounding (an eigenvalue within rounding of 0) has no
// likelihood under ML, and under REML, with a basis given and V singular only along directions
// the design spans, gives the restricted likelihood's limit there (singular_reml), and its gradient.
// `derivatives` are k x k place-level matrices dV/dtheta beyond the coefficients (already
// scaled by whatever multiplies them). The value never depends on `with_gradient`.
std::optional<WholeSampleLikelihood> whole_sample_likelihood(
    const GroupedCovariance& covariance, const Design& design, const Eigen::VectorXd& y, bool reml,
    std::span<const Eigen::MatrixXd> derivatives, bool with_gradient, Workspace& workspace);

}  // namespace kestrune::whole_sample
