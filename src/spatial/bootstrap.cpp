// The likelihood-ratio statistic against no spatial variance and its parametric bootstrap.
#include "spatial/inference.hpp"

namespace kestrune::spatial {

Eigen::MatrixXd null_covariance(Eigen::Index n, std::span<const Eigen::MatrixXd> fixed,
                                std::span<const double> coefficients) {
  Eigen::MatrixXd v = Eigen::MatrixXd::Zero(n, n);
  for (std::size_t j = 0; j < fixed.size(); ++j) v += coefficients[j] * fixed[j];
  v.diagonal().array() += coefficients[fixed.size()];
  return v;
}

Eigen::VectorXd null_response(const dense::DenseFactor& null_factor, const Eigen::VectorXd& mean,
                              stream::Stream& stream) {
  Eigen::VectorXd z(mean.size());
  for (Eigen::Index i = 0; i < z.size(); ++i) z[i] = stream.normal();
  Eigen::VectorXd y = null_factor.lower() * z;
  y += mean;
  return y;
}

Result<SpatialBootstrap> bootstrap_record(const Tally& tally, std::uint64_t requested, std::uint64_t seed) {
  if (tally.usable == 0) return fail("SPATIAL_BOOTSTRAP_NO_USABLE_REPLICATE");
  if (tally.usable != requested) return fail("SPATIAL_BOOTSTRAP_REPLICATE_FAILED");
  const double p_value = (static_cast<double>(tally.exceedances) + 1.0) / (static_cast<double>(requested) + 1.0);
  return SpatialBootstrap{tally.observed, tally.exceedances, tally.usable, requested, p_value,
                          "parametric_bootstrap_add_one", seed};
}

}  // namespace kestrune::spatial
