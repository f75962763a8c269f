// The mean and variance of a response, summed in index order so every model that
// standardises by them gets the same bits.
#pragma once

#include <Eigen/Core>

namespace kestrune::moments {

struct Moments {
  double mean;
  double variance;  // divisor n, from the deviations about the mean
};

// NaN for both when `values` is empty.
Moments population_moments(const Eigen::Ref<const Eigen::VectorXd>& values);

}  // namespace kestrune::moments
