// The maximum of a one-trait profile likelihood in the heritability h2 on [0, 1], found on a
// grid rather than by a local search, so that it holds where the profile has several maxima.
//
// The covariance is proportional to h2 K + (1 - h2) I; in K's eigenbasis (eigenvalues d_i >= 0)
// it is diagonal, and the profile changes shape only where h2 / (1 - h2) d_i passes 1. A
// near-singular K puts a sharp maximum close to h2 = 1 that can stand well above every point of
// an even grid and above the end of any local search started away from it.
#pragma once

#include <functional>

#include <Eigen/Core>

namespace kestrune::heritability_search {

struct Found {
  double h2;          // the estimate before snap
  double grid_value;  // the objective at the even grid's best point; +infinity when no point was finite
  double value;       // the objective at snap(h2); +infinity when grid_value is
};

// Whether K's eigenvalues reach far enough from 1 for the profile to turn sharply near a bound:
// where they do not, the even grid alone resolves every maximum.
bool reaches_tails(const Eigen::VectorXd& eigenvalues);

// Estimates within rounding of a bound are reported on it.
double snap(double h2);

// `objective(h2)` is -l(h2), +infinity wherever the profile cannot be evaluated (or has no
// maximum). The 33-point grid on [0, 1] and golden section over the best point's neighbours
// (ties keep the lowest h2), then every other local maximum of that grid, continued into the
// tails near each bound, refined the same way; another maximum replaces the one chosen only
// when its value at snap(h2) is lower by more than 1e-10 (|value| + 1).
Found search(const std::function<double(double)>& objective, const Eigen::VectorXd& eigenvalues);

}  // namespace kestrune::heritability_search
