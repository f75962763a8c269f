// The mean and variance of a response, summed in index order so every model that
// standardises by them gets the same bits, and the way back to the response's scale.
#pragma once

#include <vector>

#include <Eigen/Core>

namespace kestrune::moments {

struct Moments {
  double mean;
  double variance;  // divisor n, from the deviations about the mean
};

// NaN for both when `values` is empty.
Moments population_moments(const Eigen::Ref<const Eigen::VectorXd>& values);

// The variance a model standardises a response by: that of `residual`, the response less its
// least-squares fit on the design, which y -> y + Xb leaves alone, so that a design that
// explains most of the spread moves no variance away from its starts. A response the design
// reproduces (a residual of exactly zero) falls back on the spread of `response` itself, so
// that it still reaches the model's exact-fit outcome rather than a division by zero.
double standardising_variance(const Eigen::Ref<const Eigen::VectorXd>& response,
                              const Eigen::Ref<const Eigen::VectorXd>& residual);

// The standard errors, on the scale of y, of effects estimated from y / sd with covariance
// `covariance`: sd * sqrt(max(c_ii, 0)) for each diagonal entry.
std::vector<double> rescaled_standard_errors(const Eigen::MatrixXd& covariance, double sd);

}  // namespace kestrune::moments
