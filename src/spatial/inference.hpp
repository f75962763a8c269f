// The pieces of the parametric bootstrap that do not fit models: responses drawn under the
// fitted null, and the tally of replicate statistics.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "error.hpp"
#include "numerics/dense.hpp"
#include "numerics/stream.hpp"
#include "spatial/model.hpp"

namespace kestrune::spatial {

// V0 = sum_j c_j K_j + c_m I over n people: the null covariance from the null fit's
// coefficients (one per given matrix, then the residual).
Eigen::MatrixXd null_covariance(Eigen::Index n, std::span<const Eigen::MatrixXd> fixed,
                                std::span<const double> coefficients);

// L z + mu, with z the next n standard normal deviates of the stream, the i-th for person i
// (two outputs each), and L the factor of V0.
Eigen::VectorXd null_response(const dense::DenseFactor& null_factor, const Eigen::VectorXd& mean,
                              stream::Stream& stream);
// The same with any root R of V0 (R R' = V0, n x n) in place of L.
Eigen::VectorXd null_response(const Eigen::MatrixXd& root, const Eigen::VectorXd& mean, stream::Stream& stream);

// Replicate statistics counted against the observed one; a tie is an exceedance.
struct Tally {
  double observed;
  std::uint64_t exceedances = 0;
  std::uint64_t usable = 0;

  void add(const std::optional<double>& statistic) {
    if (!statistic) return;
    ++usable;
    if (*statistic >= observed) ++exceedances;
  }
};

// The record once all `requested` replicates have run: "SPATIAL_BOOTSTRAP_NO_USABLE_REPLICATE"
// when none gave a statistic, "SPATIAL_BOOTSTRAP_REPLICATE_FAILED" when some did not.
Result<SpatialBootstrap> bootstrap_record(const Tally& tally, std::uint64_t requested, std::uint64_t seed);

}  // namespace kestrune::spatial
