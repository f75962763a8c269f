#include "spatial/model.hpp"

#include <cmath>
#include <limits>

#include "numerics/dense.hpp"
#include "numerics/matrix_scale.hpp"
#include "numerics/rank.hpp"

namespace kestrune::spatial {
namespace {

using Eigen::Index;

// What one pass over the distances met: whether every entry is finite, and the first fault in
// the order the checks take them, row by row: the diagonal, then each earlier column's symmetry
// and sign, so an early row's fault is reported before a later one's.
struct DistanceFindings {
  bool finite = true;
  std::optional<std::string_view> fault;
};

DistanceFindings check_distance(const matrix_scan::Strided& d) {
  DistanceFindings found;
  for (Index i = 0; i < d.rows; ++i) {
    const double diagonal = d(i, i);
    found.finite = found.finite && std::isfinite(diagonal);
    if (!found.fault && std::fabs(diagonal) > 1e-9) found.fault = "SPATIAL_DISTANCE_DIAGONAL_NOT_ZERO";
    for (Index j = 0; j < i; ++j) {
      const double lower = d(i, j), upper = d(j, i);
      found.finite = found.finite && std::isfinite(lower) && std::isfinite(upper);
      if (found.fault) continue;
      if (std::fabs(lower - upper) > 1e-9) {
        found.fault = "SPATIAL_DISTANCE_NOT_SYMMETRIC";
      } else if (lower < 0.0) {
        found.fault = "SPATIAL_DISTANCE_NEGATIVE";
      }
    }
  }
  return found;
}

// A person opens a site unless an earlier site's first person lies at distance exactly 0.0
// from them; chains of zeros do not join sites. Returns each person's site and each site's
// first person.
std::pair<std::vector<std::size_t>, std::vector<Index>> sites(const matrix_scan::Strided& d) {
  constexpr std::size_t unassigned = std::numeric_limits<std::size_t>::max();
  const Index n = d.rows;
  std::vector<std::size_t> site_of(static_cast<std::size_t>(n), unassigned);
  std::vector<Index> first;
  for (Index i = 0; i < n; ++i) {
    if (site_of[i] != unassigned) continue;
    const std::size_t site = first.size();
    first.push_back(i);
    site_of[i] = site;
    for (Index j = i + 1; j < n; ++j) {
      if (site_of[j] == unassigned && d(i, j) == 0.0) site_of[j] = site;
    }
  }
  return {std::move(site_of), std::move(first)};
}

}  // namespace

std::pair<double, double> decay_bounds(const matrix_scan::Strided& distance) {
  double largest = 0.0;
  double smallest = std::numeric_limits<double>::infinity();
  for (Index j = 0; j < distance.cols; ++j) {
    for (Index i = j + 1; i < distance.rows; ++i) {
      const double d = distance(i, j);
      if (!(d > 0.0)) continue;
      largest = std::fmax(largest, d);
      smallest = std::fmin(smallest, d);
    }
  }
  if (largest > 0.0 && std::isfinite(smallest)) return {ln_2 / largest, ln_2 / smallest};
  return {1e-6, 1.0};
}

Result<SpatialModel> SpatialModel::build(const std::vector<Eigen::MatrixXd>& fixed,
                                         const matrix_scan::Strided& distance, const matrix_scan::Strided& design) {
  const std::vector<matrix_scan::Strided> views(fixed.begin(), fixed.end());
  return build(views, distance, design);
}

Result<SpatialModel> SpatialModel::build(std::span<const matrix_scan::Strided> fixed,
                                         const matrix_scan::Strided& distance,
                                         const matrix_scan::Strided& design_view) {
  const Index n = design_view.rows;
  if (n == 0) return fail("SPATIAL_NO_ROWS");
  if (distance.rows != n || distance.cols != n) return fail("SPATIAL_DISTANCE_WRONG_SIZE");
  if (!matrix_scan::all_finite(design_view)) return fail("SPATIAL_DESIGN_NOT_FINITE");
  const DistanceFindings checked = check_distance(distance);
  if (!checked.finite) return fail("SPATIAL_DISTANCE_NOT_FINITE");
  if (checked.fault) return fail(*checked.fault);
  for (const matrix_scan::Strided& a : fixed) {
    if (a.rows != n || a.cols != n) return fail("SPATIAL_MATRIX_WRONG_SIZE");
    if (!matrix_scan::all_finite(a)) return fail("SPATIAL_MATRIX_NOT_FINITE");
  }
  // Rank is judged on the design as given, at the rounding level of its columns, by the rule
  // every entry shares; a design wider than tall is refused before it is copied.
  if (rank::too_wide(n, design_view.cols)) return fail("SPATIAL_DESIGN_RANK_DEFICIENT");
  const Eigen::MatrixXd design = design_view.copy();
  if (!rank::full_column_rank(design)) return fail("SPATIAL_DESIGN_RANK_DEFICIENT");

  SpatialModel model;
  auto [site_of, first] = sites(distance);
  const auto k = static_cast<Index>(first.size());
  model.site_distance_.resize(k, k);
  for (Index b = 0; b < k; ++b) {
    for (Index a = 0; a < k; ++a) model.site_distance_(a, b) = distance(first[a], first[b]);
  }
  model.site_of_ = std::move(site_of);
  std::tie(model.decay_lower_, model.decay_upper_) = decay_bounds(distance);
  model.n_ = static_cast<std::size_t>(n);
  model.basis_ = design_basis::Basis::orthogonal(design);
  model.logdet_xtx_ = model.basis_.log_det_gram();
  model.least_squares_ = centring::LeastSquares(model.basis_.columns());
  model.fixed_ = matrix_scan::copies(fixed);
  model.sizes_ = matrix_scale::sizes(model.fixed_, 2);
  model.families_ = whole_sample::plan(model.fixed_, model.site_of_, static_cast<std::size_t>(k));
  return model;
}

std::optional<Evaluation> SpatialModel::evaluate(std::span<const double> theta, const Eigen::VectorXd& y,
                                                 bool reml, bool with_gradient, Workspace& workspace) const {
  const std::size_t m = this->m();
  bool any_positive = false;
  for (std::size_t i = 0; i < m + 2; ++i) {
    if (!(std::isfinite(theta[i]) && theta[i] >= 0.0)) return std::nullopt;
    any_positive = any_positive || theta[i] > 0.0;
  }
  const double lambda = theta[m + 2];
  if (!(std::isfinite(lambda) && decay_lower_ <= lambda && lambda <= decay_upper_)) return std::nullopt;
  if (!any_positive) return std::nullopt;

  const double spatial = theta[m];
  Eigen::MatrixXd& kernel = workspace.kernel;
  kernel = (site_distance_ * (-lambda)).array().exp().matrix();
  std::span<const Eigen::MatrixXd> derivatives;
  if (with_gradient) {
    workspace.derivative = (site_distance_ * (-spatial)).cwiseProduct(kernel);
    derivatives = std::span<const Eigen::MatrixXd>(&workspace.derivative, 1);
  }
  const GroupedCovariance covariance{fixed_, theta.first(m), site_of_, kernel, spatial, theta[m + 1], &families_};
  auto likelihood = whole_sample_likelihood(covariance, Design{basis_.columns(), logdet_xtx_, &basis_}, y, reml,
                                            derivatives, with_gradient, workspace);
  if (!likelihood) return std::nullopt;
  if (!with_gradient) likelihood->gradient.assign(m + 3, 0.0);
  return Evaluation{std::move(likelihood->gradient), std::move(likelihood->beta),
                    std::move(likelihood->beta_covariance), likelihood->value};
}

bool SpatialModel::singular_without_residual(std::span<const double> theta, Workspace& workspace) const {
  const std::size_t m = this->m();
  Eigen::MatrixXd& kernel = workspace.kernel;
  kernel = (site_distance_ * (-theta[m + 2])).array().exp().matrix();
  return whole_sample::singular_without_residual(
      GroupedCovariance{fixed_, theta.first(m), site_of_, kernel, theta[m], 0.0, &families_}, workspace);
}

std::optional<Evaluation> SpatialModel::evaluate(std::span<const double> theta, const Eigen::VectorXd& y,
                                                 bool reml, bool with_gradient) const {
  Workspace workspace;
  return evaluate(theta, y, reml, with_gradient, workspace);
}

Result<Standardised> SpatialModel::standardise(const Eigen::VectorXd& y) const {
  if (static_cast<std::size_t>(y.size()) != n_) return fail("SPATIAL_RESPONSE_WRONG_LENGTH");
  if (!y.allFinite()) return fail("SPATIAL_RESPONSE_NOT_FINITE");
  if (y.size() == 0) return fail("SPATIAL_RESPONSE_CONSTANT");
  auto standardised = whole_sample::standardise(least_squares_, y);
  if (!standardised) return fail("SPATIAL_RESPONSE_CONSTANT");
  return std::move(*standardised);
}

}  // namespace kestrune::spatial
