// Predictions and profile intervals of the spatial model.
#include <cmath>
#include <limits>
#include <utility>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "numerics/convergence.hpp"
#include "numerics/dense.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/multistart.hpp"
#include "numerics/singular_reml.hpp"
#include "spatial/model.hpp"

namespace kestrune::spatial {
namespace {

using Eigen::Index;

// c_spatial R[s(a)][s(b)] over people.
Eigen::MatrixXd spatial_covariance(const SpatialModel& model, double coefficient, double decay) {
  const Eigen::MatrixXd kernel = (model.site_distance() * (-decay)).array().exp().matrix();
  const auto& site_of = model.site_of();
  const auto n = static_cast<Index>(model.n());
  Eigen::MatrixXd g(n, n);
  for (Index b = 0; b < n; ++b) {
    for (Index a = 0; a < n; ++a) g(a, b) = coefficient * kernel(static_cast<Index>(site_of[a]), static_cast<Index>(site_of[b]));
  }
  return g;
}

// diag(A B) without forming the product.
Eigen::VectorXd diagonal_of_product(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  Eigen::VectorXd d(a.rows());
  for (Index i = 0; i < a.rows(); ++i) d[i] = a.row(i).dot(b.col(i));
  return d;
}

// ---- profile refits -------------------------------------------------------------------

// The free coordinates of a held refit and how they map onto theta. A free variance is
// searched times its matrix's size, like the fit's.
struct Profile {
  std::vector<std::size_t> free;  // theta indices, increasing
  std::vector<double> lower;
  std::vector<double> upper;
  std::size_t m;
  Held held;
  double value;  // the held proportion or decay rate
  bool integrated;
  std::span<const double> sizes;  // of the m + 2 variances

  bool decay_free(std::size_t j) const { return free[j] == m + 2; }
  double size(std::size_t j) const { return decay_free(j) ? 1.0 : sizes[free[j]]; }

  std::vector<double> theta(std::span<const double> x) const {
    std::vector<double> t(integrated ? m + 2 : m + 3, 0.0);
    if (held.kind == Held::Kind::decay) {
      for (std::size_t j = 0; j < x.size(); ++j) t[free[j]] = x[j] / size(j);
      t[m + 2] = value;
      return t;
    }
    double total = 0.0;
    for (std::size_t j = 0; j < x.size(); ++j) {
      if (decay_free(j)) {
        t[m + 2] = x[j];
        continue;
      }
      t[free[j]] = (1.0 - value) * x[j] / size(j);
      total += x[j] / size(j);
    }
    t[held.index] = value * total;
    return t;
  }

  // The free coordinates whose image is `fitted` (theta on the same scale) as nearly as the
  // held value allows: each free share scaled so that the other variances keep their values.
  std::vector<double> free_point(std::span<const double> fitted) const {
    std::vector<double> x;
    const double share = held.kind == Held::Kind::proportion && value < 1.0 ? 1.0 - value : 1.0;
    for (std::size_t j = 0; j < free.size(); ++j) {
      const double t = fitted[free[j]];
      x.push_back(std::fmin(std::fmax(decay_free(j) ? t : t / share * size(j), lower[j]), upper[j]));
    }
    return x;
  }

  // The gradient over the free coordinates from the gradient over theta.
  std::vector<double> chain(const std::vector<double>& g) const {
    std::vector<double> out;
    for (std::size_t j = 0; j < free.size(); ++j) {
      const std::size_t i = free[j];
      if (held.kind == Held::Kind::decay || decay_free(j)) {
        out.push_back(g[i] / size(j));
      } else {
        out.push_back(((1.0 - value) * g[i] + value * g[held.index]) / size(j));
      }
    }
    return out;
  }
};

std::optional<Profile> profile_for(const SpatialModel& model, Held held, double value, bool integrated) {
  const std::size_t m = model.m();
  Profile profile{{}, {}, {}, m, held, value, integrated, model.sizes()};
  if (held.kind == Held::Kind::decay) {
    if (integrated || !(model.decay_lower() <= value && value <= model.decay_upper())) return std::nullopt;
    for (std::size_t i = 0; i < m + 2; ++i) profile.free.push_back(i);
  } else {
    if (held.index >= m + 2 || !(0.0 <= value && value <= 1.0)) return std::nullopt;
    const std::size_t end = integrated ? m + 2 : m + 3;
    for (std::size_t i = 0; i < end; ++i) {
      if (i != held.index) profile.free.push_back(i);
    }
  }
  for (const std::size_t i : profile.free) {
    profile.lower.push_back(i == m + 2 ? model.decay_lower() : 0.0);
    profile.upper.push_back(i == m + 2 ? model.decay_upper() : std::numeric_limits<double>::infinity());
  }
  return profile;
}

// The starts of a held refit: the three geometric midpoints of the decay range when the
// decay rate is free, else one (repeating an identical start would only repeat its run).
std::vector<std::vector<double>> profile_starts(const SpatialModel& model, const Profile& profile) {
  const double share = 1.0 / static_cast<double>(profile.m + 2);
  const bool decay_free = !profile.free.empty() && profile.decay_free(profile.free.size() - 1);
  const int count = decay_free ? 3 : 1;
  const double lo = model.decay_lower();
  const double range = std::log(model.decay_upper() / lo);
  std::vector<std::vector<double>> starts;
  for (int j = 0; j < count; ++j) {
    std::vector<double> start(profile.free.size(), share);
    if (decay_free) start.back() = lo * std::exp(range * (j + 0.5) / 3.0);
    starts.push_back(std::move(start));
  }
  return starts;
}

// Within 1e-12 of a bound, only the part of the gradient that points out of the box is
// ignored; pinned between both, nothing counts.
double profile_measure(const Profile& profile, std::span<const double> x, std::span<const double> g) {
  return convergence::largest_contribution(g, [&](std::size_t j) {
    const bool at_lower = x[j] <= profile.lower[j] + 1e-12;
    const bool at_upper = x[j] >= profile.upper[j] - 1e-12;
    if (at_lower && at_upper) return convergence::Edge::fixed;
    if (at_lower) return convergence::Edge::lower;
    if (at_upper) return convergence::Edge::upper;
    return convergence::Edge::interior;
  });
}

}  // namespace

// ---- predictions ----------------------------------------------------------------------

Result<Prediction> SpatialModel::blup(const Eigen::VectorXd& y, bool reml, std::size_t component,
                                      bool integrated) const {
  if (integrated) return fail("SPATIAL_NO_PREDICTION_WHEN_INTEGRATED");
  const std::size_t m = this->m();
  if (component > m) return fail("SPATIAL_NO_SUCH_COMPONENT_TO_PREDICT");
  Workspace workspace;
  auto fitted = fit(y, reml, workspace);
  if (!fitted) return std::unexpected(fitted.error());
  if (!fitted->converged) return fail("SPATIAL_FIT_NOT_CONVERGED");
  const std::vector<double>& c = fitted->coefficients;

  const Eigen::MatrixXd spatial = spatial_covariance(*this, c[m], fitted->decay_rate);
  const auto n = static_cast<Index>(n_);
  Eigen::MatrixXd v = Eigen::MatrixXd::Zero(n, n);
  for (std::size_t i = 0; i < m; ++i) v += c[i] * fixed_[i];
  v += spatial;
  v.diagonal().array() += c[m + 1];
  Eigen::MatrixXd v_inverse, x = design(), w;
  if (const auto v_factor = dense::DenseFactor::make(v)) {
    v_inverse = v_factor->inverse();
    w = v_factor->solve_matrix(x);
  } else {
    // On the REML face (no residual, V singular along the design's span alone) V's
    // pseudo-inverse and the design's part off V's null directions give the limits of both.
    singular_reml::SplitStorage storage;
    const auto face = reml && c[m + 1] == 0.0 ? singular_reml::dense_face(v, x, v_inverse, storage) : std::nullopt;
    if (!face) return fail("SPATIAL_NOT_POSITIVE_DEFINITE");
    x = face->reduced;
    w = v_inverse * x;
  }
  // The generalised least-squares residual, the same on any basis of the design's span and
  // for y less any fit on it: on the basis, of the least-squares residual, no offset in the
  // design or the response costs it digits.
  const auto a_factor = dense::DenseFactor::make(x.transpose() * w);
  if (!a_factor) return fail("SPATIAL_DESIGN_RANK_DEFICIENT");
  const Eigen::MatrixXd a_inverse = a_factor->inverse();
  const Eigen::VectorXd centred = least_squares_.centre(y).residual;
  const Eigen::VectorXd r = centred - x * (a_inverse * (w.transpose() * centred));

  const Eigen::MatrixXd g = component < m ? Eigen::MatrixXd(c[component] * fixed_[component]) : spatial;
  const Eigen::MatrixXd g_v_inverse = g * v_inverse;
  const Eigen::MatrixXd gw = g * w;
  const Eigen::VectorXd pev =
      g.diagonal() - diagonal_of_product(g_v_inverse, g) + diagonal_of_product(gw * a_inverse, gw.transpose());
  Prediction prediction{g_v_inverse * r, Eigen::VectorXd(n)};
  for (Index i = 0; i < n; ++i) prediction.standard_errors[i] = std::sqrt(std::fmax(pev[i], 0.0));
  return prediction;
}

// ---- profile interval -----------------------------------------------------------------

std::optional<double> SpatialModel::profile_objective(const Eigen::VectorXd& y, bool reml, Held held, double value,
                                                      bool integrated, Workspace& workspace,
                                                      std::span<const double> fitted) const {
  const auto profile = profile_for(*this, held, value, integrated);
  if (!profile) return std::nullopt;
  const std::size_t k = profile->free.size();
  const auto evaluate = [&](std::span<const double> x, bool with_gradient) {
    const std::vector<double> theta = profile->theta(x);
    return integrated ? evaluate_integrated(theta, y, reml, with_gradient, workspace)
                      : this->evaluate(theta, y, reml, with_gradient, workspace);
  };
  compat_lbfgsb::compat::LastPointMemo memo([&](std::span<const double> x) { return evaluate(x, true); });
  const compat_lbfgsb::compat::Objective objective = [&](std::span<const double> x) {
    const auto& e = memo(x);
    return e ? e->value : 1e30;
  };
  const compat_lbfgsb::compat::Gradient gradient = [&](std::span<const double> x) {
    const auto& e = memo(x);
    return e ? profile->chain(e->gradient) : std::vector<double>(k, 0.0);
  };

  struct Accepted {
    double value;
  };
  const auto attempt = [&](const std::vector<double>& start) -> std::optional<Accepted> {
    auto bounds = compat_lbfgsb::Bounds::create(profile->lower, profile->upper);
    if (!bounds) return std::nullopt;
    auto control = multistart::start_controls(k, objective(start), 300, 1000.0, 1e-9);
    auto run = compat_lbfgsb::compat::run(start, std::move(*bounds), objective, gradient, std::move(control));
    if (!run) return std::nullopt;
    const auto end = evaluate(run->par, false);
    if (!end || !std::isfinite(end->value)) return std::nullopt;
    const double measure = profile_measure(*profile, run->par, gradient(run->par));
    if (!(convergence::scaled_gradient(measure, end->value) < 1e-6)) return std::nullopt;
    return Accepted{end->value};
  };
  auto best = multistart::best_of(profile_starts(*this, *profile), attempt);
  // A run can stop on a failed line search short of the held maximum; the free fit's own
  // point, held, is then the natural place to look again.
  if (!best && !fitted.empty() && !interrupt::requested()) best = attempt(profile->free_point(fitted));
  if (!best) return std::nullopt;
  return -best->value;
}

Result<interval::ProfileInterval> SpatialModel::profile_interval(const Eigen::VectorXd& y, bool reml, Held held,
                                                                 bool integrated) const {
  if (integrated && held.kind == Held::Kind::decay) return fail("SPATIAL_NO_RANGE_WHEN_INTEGRATED");
  Workspace workspace;
  auto fitted = integrated ? fit_integrated(y, reml, workspace) : fit(y, reml, workspace);
  if (!fitted) return std::unexpected(fitted.error());
  if (!fitted->converged) return fail("SPATIAL_FIT_NOT_CONVERGED");
  double estimate = fitted->decay_rate;
  double lower = decay_lower_;
  double upper = decay_upper_;
  if (held.kind == Held::Kind::proportion) {
    if (held.index >= m() + 2) return fail("SPATIAL_NO_SUCH_COMPONENT");
    estimate = fitted->proportions[held.index];
    lower = 0.0;
    upper = 1.0;
  }
  const auto response = standardise(y);
  if (!response) return std::unexpected(response.error());  // not reached: the fit checked y
  // The free fit's point on the standardised scale.
  std::vector<double> point;
  for (const double c : fitted->coefficients) point.push_back(c / response->variance);
  if (!integrated) point.push_back(fitted->decay_rate);
  auto record = interval::profile_interval(
      [&](double value) { return profile_objective(response->y, reml, held, value, integrated, workspace, point); },
      estimate, lower, upper);
  if (!record.estimate) return fail("SPATIAL_PROFILE_MAXIMUM_FAILED");
  return record;
}

}  // namespace kestrune::spatial
