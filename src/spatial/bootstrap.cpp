// The likelihood-ratio statistic against no spatial variance and its parametric bootstrap.
#include <cmath>

#include "components/model.hpp"
#include "numerics/centring.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/null_refit.hpp"
#include "numerics/singular_reml.hpp"
#include "spatial/inference.hpp"

namespace kestrune::spatial {
namespace {

struct Statistic {
  double value;
  components::ComponentFit null_fit;
  Eigen::VectorXd offset;  // the least-squares coefficients the null was fitted without
};

// The model without spatial variance: the given matrices and the design's basis, with a
// residual.
Result<components::ComponentModel> null_model_of(const SpatialModel& model) {
  return components::ComponentModel::build(model.fixed(), model.design());
}

// The null's end point as a point of the full model: no spatial variance, and the decay rate
// (NaN when it is integrated out) where the full fit put it.
std::vector<double> null_point(const components::ComponentFit& null_fit, double decay_rate) {
  std::vector<double> theta(null_fit.coefficients.begin(), null_fit.coefficients.end() - 1);
  theta.push_back(0.0);
  theta.push_back(null_fit.coefficients.back());
  if (!std::isnan(decay_rate)) theta.push_back(decay_rate);
  return theta;
}

// The statistic against a null model built once per call; its build error, like every
// other, is reported in the order of the steps: after the full fit and its convergence.
// Both likelihoods are unchanged by an offset the design absorbs, so the null is fitted to
// the response less its least-squares fit, where no offset can cost it digits.
Result<Statistic> statistic_with(const SpatialModel& model, const Result<components::ComponentModel>& null_model,
                                 const Eigen::VectorXd& y, bool reml, bool integrated, Workspace& workspace) {
  auto full = integrated ? model.fit_integrated(y, reml, workspace) : model.fit(y, reml, workspace);
  if (!full) return std::unexpected(full.error());
  if (!full->converged) return fail("SPATIAL_FIT_NOT_CONVERGED");
  if (!null_model) return std::unexpected(null_model.error());
  centring::Centred centred = model.least_squares().centre(y);
  auto null_fit = null_model->fit_general(centred.residual, reml, {}, {});
  if (!null_fit) return std::unexpected(null_fit.error());
  if (!null_fit->converged) return fail("SPATIAL_NULL_FIT_NOT_CONVERGED");
  // The null is a point of the full model: a null above the full fit means the full fit
  // missed its maximum, which a run from the null's point can find.
  const std::vector<double> from = null_point(*null_fit, full->decay_rate);
  // A null beating the full fit by more than the fit's own convergence tolerance (1e-6).
  const auto resolved = null_refit::full_above_null(
      std::move(*full), null_fit->loglik, [&] { return model.fit_from(y, reml, integrated, from, workspace); },
      "SPATIAL_BETTER_UNRESOLVED_OPTIMUM", 1e-6);
  if (!resolved) return std::unexpected(resolved.error());
  // A NaN difference counts as no evidence: fmax gives 0.
  const double statistic = std::fmax(2.0 * (resolved->loglik - null_fit->loglik), 0.0);
  return Statistic{statistic, std::move(*null_fit), std::move(centred.coefficients)};
}

// A root of the null covariance: its Cholesky factor, or, for a REML null with no residual
// whose V0 is singular only along the design's span (the fit's limit there), U diag(sqrt lambda)
// with V0's null eigenvalues set to 0, drawing the mean exactly along those directions.
std::optional<Eigen::MatrixXd> null_root(const Eigen::MatrixXd& v0, bool on_face) {
  if (const auto factor = dense::DenseFactor::make(v0)) return factor->lower();
  if (!on_face) return std::nullopt;
  const auto split = singular_reml::split_null(v0);
  if (!split) return std::nullopt;
  Eigen::VectorXd roots = split->values.cwiseMax(0.0).cwiseSqrt();
  roots.head(split->null).setZero();
  return split->vectors * roots.asDiagonal();
}

}  // namespace

Result<double> SpatialModel::spatial_statistic(const Eigen::VectorXd& y, bool reml, bool integrated,
                                               Workspace& workspace) const {
  auto statistic = statistic_with(*this, null_model_of(*this), y, reml, integrated, workspace);
  if (!statistic) return std::unexpected(statistic.error());
  return statistic->value;
}

Result<SpatialBootstrap> SpatialModel::bootstrap_spatial_variance(const Eigen::VectorXd& y, bool reml,
                                                                  std::uint64_t replicates, std::uint64_t seed,
                                                                  bool integrated) const {
  if (replicates == 0) return fail("SPATIAL_BOOTSTRAP_NO_REPLICATES");
  Workspace workspace;
  const auto null_model = null_model_of(*this);
  auto observed = statistic_with(*this, null_model, y, reml, integrated, workspace);
  if (!observed) return std::unexpected(observed.error());
  const components::ComponentFit& null_fit = observed->null_fit;
  const Eigen::MatrixXd v0 = null_covariance(static_cast<Eigen::Index>(n_), fixed_, null_fit.coefficients);
  const auto root = null_root(v0, reml && null_fit.coefficients.back() == 0.0);
  if (!root) return fail("SPATIAL_NULL_COVARIANCE_NOT_POSITIVE_DEFINITE");
  // On the design's basis, like the offset and the null fitted on it.
  const Eigen::Map<const Eigen::VectorXd> null_beta(null_fit.beta.data(),
                                                    static_cast<Eigen::Index>(null_fit.beta.size()));
  const Eigen::VectorXd mean = design() * (null_beta + observed->offset);
  stream::Stream stream(seed);
  Tally tally{observed->value};
  for (std::uint64_t r = 0; r < replicates; ++r) {
    if (interrupt::requested()) return fail(interrupt::code);
    const Eigen::VectorXd replicate = null_response(*root, mean, stream);
    const auto statistic = statistic_with(*this, null_model, replicate, reml, integrated, workspace);
    tally.add(statistic ? std::optional(statistic->value) : std::nullopt);
  }
  return bootstrap_record(tally, replicates, seed);
}

Eigen::MatrixXd null_covariance(Eigen::Index n, std::span<const Eigen::MatrixXd> fixed,
                                std::span<const double> coefficients) {
  Eigen::MatrixXd v = Eigen::MatrixXd::Zero(n, n);
  for (std::size_t j = 0; j < fixed.size(); ++j) v += coefficients[j] * fixed[j];
  v.diagonal().array() += coefficients[fixed.size()];
  return v;
}

Eigen::VectorXd null_response(const dense::DenseFactor& null_factor, const Eigen::VectorXd& mean,
                              stream::Stream& stream) {
  return null_response(null_factor.lower(), mean, stream);
}

Eigen::VectorXd null_response(const Eigen::MatrixXd& root, const Eigen::VectorXd& mean, stream::Stream& stream) {
  Eigen::VectorXd z(mean.size());
  for (Eigen::Index i = 0; i < z.size(); ++i) z[i] = stream.normal();
  Eigen::VectorXd y = root * z;
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
