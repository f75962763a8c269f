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

// Whether a null log-likelihood beats the full fit's by more than the relative size the fit's
// own convergence test allows (1e-6): the full fit then missed its maximum.
inline bool null_beats(double null_loglik, double full_loglik) {
  return null_loglik - full_loglik > 1e-6 * std::fmax(std::fabs(full_loglik), 1.0);
}

// The full fit a likelihood-ratio test may use against a null that is a point of the full
// model: `full` itself unless the null beats it; then the better of `full` and `refit()`, a
// fit from the null's end point, which must be converged and no longer beaten.
template <class Refit>
Result<SpatialFit> resolve_full(SpatialFit full, double null_loglik, Refit&& refit) {
  if (!null_beats(null_loglik, full.loglik)) return full;
  Result<SpatialFit> again = refit();
  if (again && again->loglik > full.loglik) full = std::move(*again);
  if (!full.converged) return fail("SPATIAL_FIT_NOT_CONVERGED");
  if (null_beats(null_loglik, full.loglik)) return fail("SPATIAL_BETTER_UNRESOLVED_OPTIMUM");
  return full;
}

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
