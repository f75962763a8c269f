#include "association/model.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "numerics/blocks.hpp"
#include "numerics/deviance.hpp"
#include "numerics/golden_section.hpp"
#include "numerics/heritability_search.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/multistart.hpp"
#include "numerics/null_refit.hpp"
#include "numerics/parallel.hpp"

namespace kestrune::association {
namespace {

constexpr double two_pi = 6.283185307179586;
// The objective's value where the profile likelihood cannot be evaluated.
constexpr double unevaluable = 1e30;
// A marker pivot at most this share of its diagonal entry counts as zero.
constexpr double pivot_tolerance = 1e-10;
// The slabs of markers a sweep holds rotated at once: up to 16, as many as about 128 MB of
// rotated columns allow, and at least one.
Eigen::Index batch_slabs(Eigen::Index n) {
  constexpr Eigen::Index budget = Eigen::Index{16} << 20;  // doubles
  return std::clamp<Eigen::Index>(budget / (std::max<Eigen::Index>(n, 1) * rotation::slab_columns), 1, 16);
}
constexpr std::array<double, 3> starts = {0.05, 0.35, 0.7};

// Clamped into [0, 1]; a NaN stays NaN.
double unit(double p) { return p < 0.0 ? 0.0 : (p > 1.0 ? 1.0 : p); }

double chi2_1_tail(double statistic) { return unit(deviance::chi2_upper_tail(statistic, 1.0)); }

// The variance of a coefficient, floored at 0 (a NaN too), its root and its Wald statistic.
struct Wald {
  double standard_error;
  double statistic;
};

Wald wald_of(double estimate, double scale, double inverse_diagonal) {
  const double variance = std::fmax(scale * inverse_diagonal, 0.0);
  const double standard_error = std::sqrt(variance);
  if (!(variance > 0.0)) return {standard_error, 0.0};
  const double z = estimate / standard_error;
  return {standard_error, z * z};
}

// Entry (j, j) of M^-1 through the fit's factor.
double inverse_diagonal(const dense::DenseFactor& factor, Eigen::Index j) {
  Eigen::VectorXd unit_vector = Eigen::VectorXd::Zero(factor.order());
  unit_vector[j] = 1.0;
  return factor.solve_vector(unit_vector)[j];
}

// The profile log-likelihood at one heritability, the residual scale it implies and the fit.
struct ProfilePoint {
  double loglik;
  double scale;
  WeightedFit fit;
};

// The code of a marker in the span of the design: with the heritability held it has no effect
// of its own; refitted, its profile is evaluable at no heritability.
Error in_span(bool refit) {
  return Error{refit ? "ASSOCIATION_NOT_EVALUABLE" : "ASSOCIATION_DESIGN_RANK_DEFICIENT", std::nullopt};
}

// What a marker z adds to the weighted cross-products: sum_i wd(i, c) z_i for every design
// column c, sum_i (w_i z_i) z_i and sum_i (w_i z_i) y_i, each summed in row order. The sums are
// independent, so one pass runs up to four columns and the last two side by side rather than
// one after another.
struct Border {
  Eigen::VectorXd cross;
  double diagonal = 0.0;
  double right = 0.0;
};

Border border_of(const WeightedSystem& s, const Eigen::VectorXd& y, std::span<const double> z) {
  const Eigen::Index n = s.weighted_design.rows();
  const Eigen::Index p = s.weighted_design.cols();
  Border border{Eigen::VectorXd(p)};
  for (Eigen::Index first = 0; first < p; first += 4) {
    const Eigen::Index width = std::min<Eigen::Index>(4, p - first);
    // Columns past the last repeat it; their sums are dropped.
    const auto column = [&](Eigen::Index k) { return s.weighted_design.col(first + std::min(k, width - 1)).data(); };
    const double *c0 = column(0), *c1 = column(1), *c2 = column(2), *c3 = column(3);
    std::array<double, 4> sums{0.0, 0.0, 0.0, 0.0};
    double diagonal = 0.0, right = 0.0;
    for (Eigen::Index i = 0; i < n; ++i) {
      const double zi = z[static_cast<std::size_t>(i)];
      sums[0] += c0[i] * zi;
      sums[1] += c1[i] * zi;
      sums[2] += c2[i] * zi;
      sums[3] += c3[i] * zi;
      const double wz = s.weights[i] * zi;
      diagonal += wz * zi;
      right += wz * y[i];
    }
    for (Eigen::Index k = 0; k < width; ++k) border.cross[first + k] = sums[static_cast<std::size_t>(k)];
    if (first == 0) {
      border.diagonal = diagonal;
      border.right = right;
    }
  }
  return border;
}

bool has_no_variation(const Eigen::Ref<const Eigen::VectorXd>& x) {
  const double first = x[0];
  for (const double value : x) {
    if (!(std::fabs(value - first) < 1e-12)) return false;
  }
  return true;
}

}  // namespace

MarkerColumns columns_of(const Eigen::MatrixXd& markers) {
  return {markers.rows(), markers.cols(), [source = &markers](Eigen::Index first, Eigen::Ref<Eigen::MatrixXd> batch) {
            batch = source->middleCols(first, batch.cols());
          }};
}

Result<AssociationModel> AssociationModel::build(const matrix_scan::Strided& relationship,
                                                 const matrix_scan::Strided& design_view,
                                                 const Eigen::Ref<const Eigen::VectorXd>& y) {
  const Eigen::Index n = y.size();
  if (n == 0) return fail("ASSOCIATION_NO_ROWS");
  if (relationship.rows != n || relationship.cols != n) return fail("ASSOCIATION_RELATIONSHIP_WRONG_SHAPE");
  if (design_view.rows != n) return fail("ASSOCIATION_DESIGN_WRONG_SHAPE");
  if (design_view.cols == 0) return fail("ASSOCIATION_DESIGN_HAS_NO_COLUMNS");
  if (design_view.cols >= n) return fail("ASSOCIATION_DESIGN_NOT_SMALLER_THAN_SAMPLE");
  const Eigen::MatrixXd design = design_view.copy();  // once its shape is known to fit
  // K is not tested for symmetry: its one pass gives its finiteness and its families' links.
  blocks::Links links(static_cast<std::size_t>(n));
  const bool finite = matrix_scan::scan(relationship, {}, &links).finite;
  if (!finite || !design.allFinite() || !y.allFinite()) return fail("ASSOCIATION_NOT_FINITE");

  AssociationModel model;
  // A design short of full rank cannot centre the response; its null fit still runs, on the
  // design and response as given, and decides the code, the rank check coming after it.
  model.design_ = fixed_effects::Design::prepare(design);
  centring::Centred centred = model.design_ ? model.design_->centre(y)
                                            : centring::Centred{y, Eigen::VectorXd::Zero(design.cols())};
  model.offset_ = std::move(centred.coefficients);
  rotation::Rotation rotation = rotation::decompose(relationship, matrix_scan::families(relationship, links));
  model.eigenvalues_ = rotation.eigenvalues.unaryExpr([](double lambda) { return std::fmax(lambda, 0.0); });
  model.group_rows();
  model.rotated_response_ = rotation::rotate(rotation.blocks, centred.residual);
  if (model.design_) model.basis_ = design_basis::Basis::orthogonal(design);
  model.rotated_design_ = rotation::rotate_columns(rotation.blocks, model.design_ ? model.basis_.columns() : Eigen::MatrixXd(design));
  model.blocks_ = std::move(rotation.blocks);
  model.n_ = static_cast<std::size_t>(n);

  const auto null = model.fit_variance({});
  if (!null) return std::unexpected(null.error());
  if (!model.design_) return fail("ASSOCIATION_DESIGN_RANK_DEFICIENT");
  model.null_h2_ = null->h2;
  model.null_scale_ = null->scale;
  model.null_loglik_ = null->loglik;
  return model;
}

void AssociationModel::group_rows() {
  std::vector<Eigen::Index> order(static_cast<std::size_t>(eigenvalues_.size()));
  std::iota(order.begin(), order.end(), Eigen::Index{0});
  std::ranges::stable_sort(order, {}, [&](Eigen::Index i) { return eigenvalues_[i]; });
  std::vector<double> values, sizes;
  group_of_.assign(order.size(), 0);
  for (const Eigen::Index i : order) {
    if (values.empty() || eigenvalues_[i] != values.back()) {
      values.push_back(eigenvalues_[i]);
      sizes.push_back(0.0);
    }
    sizes.back() += 1.0;
    group_of_[static_cast<std::size_t>(i)] = static_cast<Eigen::Index>(values.size()) - 1;
  }
  group_eigenvalues_ = Eigen::Map<const Eigen::VectorXd>(values.data(), static_cast<Eigen::Index>(values.size()));
  group_sizes_ = Eigen::Map<const Eigen::VectorXd>(sizes.data(), static_cast<Eigen::Index>(sizes.size()));
}

Eigen::VectorXd AssociationModel::weights(double h2) const {
  Eigen::VectorXd w(eigenvalues_.size());
  for (Eigen::Index i = 0; i < w.size(); ++i) w[i] = 1.0 / std::fmax(h2 * eigenvalues_[i] + 1.0 - h2, 1e-12);
  return w;
}

WeightedSystem AssociationModel::system(const Eigen::VectorXd& weights) const {
  const Eigen::Index n = rotated_design_.rows();
  const Eigen::Index p = rotated_design_.cols();
  WeightedSystem s{weights, Eigen::MatrixXd(n, p), Eigen::MatrixXd(p, p), Eigen::VectorXd(p), 0.0};
  for (Eigen::Index j = 0; j < p; ++j) {
    for (Eigen::Index i = 0; i < n; ++i) s.weighted_design(i, j) = weights[i] * rotated_design_(i, j);
  }
  // One triangle, summed over the rotated rows in order, then mirrored.
  for (Eigen::Index c = 0; c < p; ++c) {
    for (Eigen::Index r = c; r < p; ++r) {
      double sum = 0.0;
      for (Eigen::Index i = 0; i < n; ++i) sum += s.weighted_design(i, c) * rotated_design_(i, r);
      s.cross(r, c) = sum;
      s.cross(c, r) = sum;
    }
    double sum = 0.0;
    for (Eigen::Index i = 0; i < n; ++i) sum += s.weighted_design(i, c) * rotated_response_[i];
    s.right[c] = sum;
  }
  double log_weights = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) log_weights += std::log(weights[i]);
  s.log_determinant = -log_weights;
  return s;
}

std::optional<WeightedFit> AssociationModel::solve(const WeightedSystem& s, std::span<const double> marker) const {
  const Eigen::Index n = rotated_design_.rows();
  const Eigen::Index p = rotated_design_.cols();
  const bool bordered = !marker.empty();
  const Eigen::Index q = bordered ? p + 1 : p;
  Eigen::MatrixXd a(q, q);
  Eigen::VectorXd b(q);
  a.topLeftCorner(p, p) = s.cross;
  b.head(p) = s.right;
  if (bordered) {
    const Border border = border_of(s, rotated_response_, marker);
    a.row(p).head(p) = border.cross.transpose();
    a.col(p).head(p) = border.cross;
    a(p, p) = border.diagonal;
    b[p] = border.right;
  }

  auto factor = dense::DenseFactor::make(a);
  if (!factor) return std::nullopt;
  if (bordered) {
    const double root = factor->lower()(p, p);
    if (root * root <= pivot_tolerance * a(p, p)) return std::nullopt;
  }
  Eigen::VectorXd beta = factor->solve_vector(b);

  // Each row's fitted value summed over the columns in order, the marker last, and its
  // weighted square added in row order, in one pass.
  double rss = 0.0;
  const double* x = rotated_design_.data();
  for (Eigen::Index i = 0; i < n; ++i) {
    double fitted = 0.0;
    for (Eigen::Index j = 0; j < p; ++j) fitted += x[i + j * n] * beta[j];
    if (bordered) fitted += marker[i] * beta[p];
    const double r = rotated_response_[i] - fitted;
    rss += s.weights[i] * (r * r);
  }
  return WeightedFit{std::move(beta), rss, s.log_determinant, std::move(*factor)};
}

std::optional<WeightedFit> AssociationModel::weighted_least_squares(const Eigen::VectorXd& weights,
                                                                    std::span<const double> marker) const {
  return solve(system(weights), marker);
}

Result<VarianceFit> AssociationModel::fit_variance(std::span<const double> marker) const {
  return fit_variance(marker, starts);
}

Result<VarianceFit> AssociationModel::fit_variance(std::span<const double> marker,
                                                   std::span<const double> from) const {
  const double count = static_cast<double>(n_);
  // The weighted fit itself, for the point reported.
  const auto profile = [&](double h2) -> std::optional<ProfilePoint> {
    auto fit = weighted_least_squares(weights(h2), marker);
    if (!fit) return std::nullopt;
    const double scale = fit->residual_sum_of_squares / count;
    if (!(scale > 0.0)) return std::nullopt;
    const double loglik = -0.5 * (fit->log_determinant + count * (std::log(two_pi * scale) + 1.0));
    return ProfilePoint{loglik, scale, std::move(*fit)};
  };
  // The search's evaluations, from the marker's products.
  Profile evaluator(*this, marker);
  const auto objective = [&](double h2) {
    const auto loglik = evaluator.loglik(h2);
    return loglik ? -*loglik : unevaluable;
  };
  // A central difference inside [0, 1], one-sided at a bound.
  const auto slope = [&](double h2) {
    const double hi = std::fmin(h2 + 1e-6, 1.0);
    const double lo = std::fmax(h2 - 1e-6, 0.0);
    if (hi - lo <= 0.0) return 0.0;
    return (objective(hi) - objective(lo)) / (hi - lo);
  };

  struct Candidate {
    double h2;
    double value;
  };
  // Where the profile bends over and then steepens towards h2 = 1 (the zero eigenvalue of each
  // pair of identical twins) a run can creep in small steps to its iteration limit well short of
  // its maximum, and the point it returns is all that is read of it. An end that a Newton step would still raise by more than rounding is
  // carried to the top of its own hump: steps doubling downhill find a bracket, golden sections
  // narrow it, and the narrowed point replaces the end only when it is lower.
  const auto settled = [&](const Candidate& end) {
    const double g = slope(end.h2);
    if ((end.h2 == 0.0 && g >= 0.0) || (end.h2 == 1.0 && g <= 0.0) || g == 0.0) return true;
    constexpr double step = 1e-4;
    const double lo = std::fmax(end.h2 - step, 0.0);
    const double hi = std::fmin(lo + 2.0 * step, 1.0);
    const double mid = (lo + hi) * 0.5;
    const double curvature = (objective(hi) - 2.0 * objective(mid) + objective(lo)) / (step * step);
    return curvature > 0.0 && g * g / (2.0 * curvature) <= 1e-10 * std::fmax(std::fabs(end.value), 1.0);
  };
  const auto climb = [&](const Candidate& end) -> Candidate {
    const double direction = slope(end.h2) < 0.0 ? 1.0 : -1.0;
    // The lowest point so far, and the one before it: the hump's top lies between that one and
    // the first point past the lowest that is no lower.
    double behind = end.h2, lowest = end.h2, lowest_value = end.value, past = end.h2;
    for (double step = 1e-3; !interrupt::requested(); step *= 2.0) {
      past = unit(end.h2 + direction * step);
      if (past == lowest) break;
      const double value = objective(past);
      if (!(value < lowest_value)) break;
      behind = lowest;
      lowest = past;
      lowest_value = value;
    }
    const golden_section::Bracket bracket =
        golden_section::minimise(objective, std::fmin(behind, past), std::fmax(behind, past), 1e-9);
    Candidate best = end;
    for (const double h2 : {bracket.middle(), past}) {
      const double value = objective(h2);
      if (value < best.value) best = {h2, value};
    }
    return best;
  };
  const auto attempt = [&](double start) -> std::optional<Candidate> {
    auto bounds = compat_lbfgsb::Bounds::create({0.0}, {1.0});
    if (!bounds) return std::nullopt;
    auto control = multistart::start_controls(1, evaluator.loglik(start), 200, 1000.0, 1e-10);
    struct Evaluated {
      double value;
      std::vector<double> gradient;
    };
    compat_lbfgsb::compat::LastPointMemo memo([&](std::span<const double> h) {
      return Evaluated{objective(h[0]), {slope(h[0])}};
    });
    const auto run = compat_lbfgsb::compat::run(
        {start}, std::move(*bounds), [&](std::span<const double> h) { return memo(h).value; },
        [&](std::span<const double> h) { return memo(h).gradient; }, std::move(control));
    if (!run) return std::nullopt;
    Candidate end{run->par[0], objective(run->par[0])};
    if (std::isfinite(end.value) && !settled(end)) end = climb(end);
    const double h2 = end.h2;
    // At h2 = 1 a zero eigenvalue leaves the covariance singular, and the floor on the weights
    // stands in for a likelihood that rises without bound there (a relationship centred on the
    // people analysed, under an intercept): a run that ends there, or within rounding of it,
    // found no maximum.
    if (h2 >= 0.9999999 && eigenvalues_.minCoeff() == 0.0) return std::nullopt;
    const double value = objective(h2);
    if (!std::isfinite(value)) return std::nullopt;
    return Candidate{h2, value};
  };

  auto best = multistart::best_of(from, attempt);
  if (!best) return fail("ASSOCIATION_NO_START_CONVERGED");
  // The profile can have several maxima (a near-singular relationship puts a sharp one close to
  // h2 = 1), and every start can end on a lower one: for the null, which every test of a sweep
  // is measured against, the grid search over the whole range, its tails included, replaces the
  // starts' best where it stands higher by more than rounding. Where a zero eigenvalue leaves
  // no profile at h2 = 1 (the floor on the weights stands in for it there), the search sees
  // none, and so passes over a rise towards 1 as the starts do. A refitted marker is searched
  // so only where K's eigenvalues reach the tails, where a sharp maximum can lie out of the
  // starts' reach: elsewhere the search would add about half again to a refit's cost.
  if (marker.empty() || heritability_search::reaches_tails(eigenvalues_)) {
    const bool singular = eigenvalues_.minCoeff() == 0.0;
    const auto searched = [&](double h2) {
      const double value = singular && h2 == 1.0 ? unevaluable : objective(h2);
      return value == unevaluable ? std::numeric_limits<double>::infinity() : value;
    };
    const heritability_search::Found found = heritability_search::search(searched, eigenvalues_);
    if (found.value < best->value - 1e-10 * (std::fabs(best->value) + 1.0))
      best = Candidate{heritability_search::snap(found.h2), found.value};
  }
  auto point = profile(best->h2);
  if (!point) return fail("ASSOCIATION_NOT_EVALUABLE");
  return VarianceFit{best->h2, point->scale, point->loglik, std::move(point->fit)};
}

namespace {

// Where of the products column (j, k), j <= k, lies: the columns run k by k, j within.
Eigen::Index product_column(Eigen::Index j, Eigen::Index k) { return k * (k + 1) / 2 + j; }

// Rows whose denominators are multiplied before one logarithm is taken: eight stay far from
// overflow and underflow for any denominator in [1e-12, 1e36].
constexpr Eigen::Index log_run = 8;
// Below this share of y'Wy, y'Wy - b'beta has lost too many digits to cancellation.
constexpr double cancellation_share = 1e-4;

}  // namespace

Profile::Profile(const AssociationModel& model, std::span<const double> marker)
    : model_(model), marker_(marker), order_(model.rotated_design_.cols() + (marker.empty() ? 0 : 1)) {
  const Eigen::Index n = model.rotated_design_.rows();
  const Eigen::Index p = model.rotated_design_.cols();
  const Eigen::Index r = order_ + 1;
  Eigen::MatrixXd v(n, r);
  v.leftCols(p) = model.rotated_design_;
  if (!marker.empty()) v.col(p) = Eigen::Map<const Eigen::VectorXd>(marker.data(), n);
  v.col(r - 1) = model.rotated_response_;
  // Rows that share an eigenvalue share their weight at every h2: their products are summed
  // once, in row order.
  const std::vector<Eigen::Index>& group = model.group_of_;
  products_ = Eigen::MatrixXd::Zero(model.group_eigenvalues_.size(), r * (r + 1) / 2);
  for (Eigen::Index k = 0; k < r; ++k) {
    for (Eigen::Index j = 0; j <= k; ++j) {
      auto column = products_.col(product_column(j, k));
      for (Eigen::Index i = 0; i < n; ++i) column[group[static_cast<std::size_t>(i)]] += v(i, j) * v(i, k);
    }
  }
  weights_.resize(products_.rows());
  sums_.resize(products_.cols());
  system_.resize(order_, order_);
  solution_.resize(order_);
}

std::optional<double> Profile::loglik(double h2) {
  // The searches come back to points they have just evaluated (a start, the point a run
  // returns); the evaluation is a function of h2 alone.
  for (const Recent& recent : recent_) {
    if (recent.filled && recent.h2 == h2) return recent.loglik;
  }
  const std::optional<double> value = evaluate(h2);
  recent_[next_recent_] = {h2, value, true};
  next_recent_ = (next_recent_ + 1) % recent_.size();
  return value;
}

std::optional<double> Profile::evaluate(double h2) {
  const Eigen::VectorXd& d = model_.group_eigenvalues_;
  const Eigen::VectorXd& sizes = model_.group_sizes_;
  // -sum ln w_i over the rows: a repeated eigenvalue's logarithm times its rows; those of
  // single rows multiplied a run at a time, unless a run's product leaves the normal range.
  double log_determinant = 0.0;
  double product = 1.0;
  Eigen::Index run_start = 0, run = 0;
  const auto close_run = [&](Eigen::Index end) {
    if (std::isnormal(product)) {
      log_determinant += std::log(product);
    } else {
      for (Eigen::Index g = run_start; g < end; ++g) {
        if (sizes[g] == 1.0) log_determinant -= std::log(weights_[g]);
      }
    }
    product = 1.0;
    run = 0;
    run_start = end;
  };
  for (Eigen::Index g = 0; g < d.size(); ++g) {
    // As fmax, a NaN to the floor, written out so that it stays in the loop.
    const double raw = h2 * d[g] + 1.0 - h2;
    const double denominator = raw > 1e-12 ? raw : 1e-12;
    weights_[g] = 1.0 / denominator;
    if (sizes[g] != 1.0) {
      log_determinant += sizes[g] * std::log(denominator);
      continue;
    }
    product *= denominator;
    if (++run == log_run) close_run(g + 1);
  }
  close_run(d.size());
  sums_.noalias() = products_.transpose() * weights_;

  const Eigen::Index q = order_;
  for (Eigen::Index k = 0; k < q; ++k) {
    for (Eigen::Index j = 0; j <= k; ++j) system_(k, j) = sums_[product_column(j, k)];
    solution_[k] = sums_[product_column(k, q)];
  }
  const double marker_diagonal = system_(q - 1, q - 1);
  const auto factor = dense::FactorView::make(system_);
  if (!factor) return std::nullopt;
  if (!marker_.empty()) {
    const double root = system_(q - 1, q - 1);
    if (root * root <= pivot_tolerance * marker_diagonal) return std::nullopt;
  }
  // rss = y'Wy - b'beta; where that cancels to a small share of y'Wy, from the residuals.
  factor->solve_in_place(solution_);
  const double yy = sums_[product_column(q, q)];
  double explained = 0.0;
  for (Eigen::Index k = 0; k < q; ++k) explained += sums_[product_column(k, q)] * solution_[k];
  double rss = yy - explained;
  if (!(rss > cancellation_share * yy)) rss = residual_sum_of_squares();
  const double count = static_cast<double>(model_.n_);
  const double scale = rss / count;
  if (!(scale > 0.0)) return std::nullopt;
  return -0.5 * (log_determinant + count * (std::log(two_pi * scale) + 1.0));
}

double Profile::residual_sum_of_squares() const {
  const Eigen::MatrixXd& x = model_.rotated_design_;
  const Eigen::Index p = x.cols();
  double rss = 0.0;
  for (Eigen::Index i = 0; i < x.rows(); ++i) {
    double fitted = 0.0;
    for (Eigen::Index j = 0; j < p; ++j) fitted += x(i, j) * solution_[j];
    if (!marker_.empty()) fitted += marker_[static_cast<std::size_t>(i)] * solution_[p];
    const double r = model_.rotated_response_[i] - fitted;
    rss += weights_[model_.group_of_[static_cast<std::size_t>(i)]] * (r * r);
  }
  return rss;
}

Eigen::VectorXd AssociationModel::rotate(const Eigen::Ref<const Eigen::VectorXd>& marker) const {
  return rotation::rotate(blocks_, marker);
}

Eigen::MatrixXd AssociationModel::rotate_columns(const Eigen::Ref<const Eigen::MatrixXd>& markers) const {
  return rotation::rotate_columns(blocks_, markers);
}

AssociationModel::HeldNull AssociationModel::held_null() const {
  HeldNull held{system(weights(null_h2_)), std::nullopt};
  if (const auto null = solve(held.system, {})) held.residual_sum_of_squares = null->residual_sum_of_squares;
  return held;
}

Result<MarkerTest> AssociationModel::test_rotated(const Eigen::VectorXd& z, bool refit, const HeldNull& held) const {
  const std::span<const double> marker(z.data(), static_cast<std::size_t>(z.size()));
  double h2 = null_h2_;
  double scale = null_scale_;
  double loglik = 0.0;
  std::optional<WeightedFit> fit;
  if (refit) {
    auto variance = fit_variance(marker);
    if (!variance) return std::unexpected(variance.error());
    // The null is the marker's model at gamma = 0: when it beats the refit, the search missed
    // the maximum, and a search from the null's heritability finds at least the null.
    const auto from_null = [&] {
      const std::array<double, 1> start{null_h2_};
      return fit_variance(marker, start);
    };
    variance = null_refit::full_above_null(std::move(*variance), null_loglik_, from_null,
                                           "ASSOCIATION_BETTER_UNRESOLVED_OPTIMUM");
    if (!variance) return std::unexpected(variance.error());
    h2 = variance->h2;
    scale = variance->scale;
    loglik = variance->loglik;
    fit = std::move(variance->fit);
  } else {
    fit = solve(held.system, marker);
    if (!fit) return fail("ASSOCIATION_DESIGN_RANK_DEFICIENT");
  }

  const Eigen::Index last = fit->beta.size() - 1;
  MarkerTest test{};
  test.effect = fit->beta[last];
  const Wald wald = wald_of(test.effect, scale, inverse_diagonal(fit->factor, last));
  test.standard_error = wald.standard_error;
  test.wald = wald.statistic;
  if (refit) {
    test.likelihood_ratio = std::fmax(2.0 * (loglik - null_loglik_), 0.0);
    test.p_value = chi2_1_tail(test.likelihood_ratio);
  } else {
    if (!held.residual_sum_of_squares) return fail("ASSOCIATION_NULL_RANK_DEFICIENT");
    test.likelihood_ratio = std::fmax((*held.residual_sum_of_squares - fit->residual_sum_of_squares) / null_scale_, 0.0);
    test.p_value = chi2_1_tail(test.wald);
  }
  test.h2 = h2;
  test.refitted = refit;
  return test;
}

Result<MarkerTest> AssociationModel::test_marker(const Eigen::Ref<const Eigen::VectorXd>& marker, bool refit) const {
  if (static_cast<std::size_t>(marker.size()) != n_) return fail("ASSOCIATION_MARKER_WRONG_LENGTH");
  if (!marker.allFinite()) return fail("ASSOCIATION_MARKER_NOT_FINITE");
  if (has_no_variation(marker)) return fail("ASSOCIATION_MARKER_HAS_NO_VARIATION");
  const std::optional<Eigen::VectorXd> centred = design_->beyond(marker);
  if (!centred) return std::unexpected(in_span(refit));
  return test_rotated(rotate(*centred), refit, held_null());
}

Result<std::vector<Result<MarkerTest>>> AssociationModel::sweep_refitting_below(
    const MarkerColumns& markers, bool refit, std::optional<double> refit_below) const {
  if (markers.rows != static_cast<Eigen::Index>(n_)) return fail("ASSOCIATION_MARKERS_WRONG_LENGTH");
  // The held null is the same for every marker: computed once, it gives the same rows.
  const HeldNull held = held_null();
  const Eigen::Index n = markers.rows;
  constexpr Eigen::Index slab = rotation::slab_columns;
  const Eigen::Index batch = slab * batch_slabs(n);
  std::vector<Result<MarkerTest>> results(static_cast<std::size_t>(markers.cols), Result<MarkerTest>{});
  std::vector<std::optional<Error>> failed;
  Eigen::MatrixXd rotated;
  for (Eigen::Index first = 0; first < markers.cols; first += batch) {
    const Eigen::Index width = std::min(batch, markers.cols - first);
    failed.assign(static_cast<std::size_t>(width), std::nullopt);
    if (rotated.cols() < width) rotated.resize(n, width);  // kept for the batches after
    // Slabs over the pool: each read, checked, centred on the design and rotated in one
    // product per block. A column that fails keeps its code and a zero column; the slabs'
    // bounds do not depend on the thread count, nor does any column's rotation.
    const auto slabs = static_cast<std::size_t>((width + slab - 1) / slab);
    bool finished = parallel::for_each(slabs, [&](std::size_t s) {
      const Eigen::Index offset = static_cast<Eigen::Index>(s) * slab;
      Eigen::MatrixXd raw(n, std::min(slab, width - offset));
      markers.read(first + offset, raw);
      const auto code_of = [&](Eigen::Index j) -> std::optional<Error>& {
        return failed[static_cast<std::size_t>(offset + j)];
      };
      for (Eigen::Index j = 0; j < raw.cols(); ++j) {
        if (!raw.col(j).allFinite()) {
          code_of(j) = Error{"ASSOCIATION_MARKER_NOT_FINITE", std::nullopt};
        } else if (has_no_variation(raw.col(j))) {
          code_of(j) = Error{"ASSOCIATION_MARKER_HAS_NO_VARIATION", std::nullopt};
        }
        if (code_of(j)) raw.col(j).setZero();
      }
      const std::vector<bool> beyond = design_->beyond_each(raw);
      for (Eigen::Index j = 0; j < raw.cols(); ++j) {
        if (!code_of(j) && !beyond[static_cast<std::size_t>(j)]) code_of(j) = in_span(refit);
        if (code_of(j)) raw.col(j).setZero();
      }
      rotation::rotate_columns_into(blocks_, raw, rotated.middleCols(offset, raw.cols()));
    });
    if (!finished) return fail(interrupt::code);
    // The batch's markers over the pool, each written in its own place.
    finished = parallel::for_each(failed.size(), [&](std::size_t j) {
      Result<MarkerTest>& result = results[static_cast<std::size_t>(first) + j];
      if (const auto& code = failed[j]) {
        result = std::unexpected(*code);
        return;
      }
      const Eigen::VectorXd z = rotated.col(static_cast<Eigen::Index>(j));
      result = test_rotated(z, refit, held);
      if (!refit && refit_below && result && result->p_value <= *refit_below) result = test_rotated(z, true, held);
    });
    if (!finished) return fail(interrupt::code);
  }
  return results;
}

Result<std::vector<CovariateEffect>> AssociationModel::covariate_effects() const {
  const auto fit = weighted_least_squares(weights(null_h2_), {});
  if (!fit) return fail("ASSOCIATION_NULL_RANK_DEFICIENT");
  const Eigen::VectorXd estimates = basis_.coefficients(fit->beta) + offset_;
  const Eigen::MatrixXd inverse = basis_.covariance(fit->factor.inverse());
  std::vector<CovariateEffect> effects;
  effects.reserve(static_cast<std::size_t>(estimates.size()));
  for (Eigen::Index j = 0; j < estimates.size(); ++j) {
    const double estimate = estimates[j];
    const Wald wald = wald_of(estimate, null_scale_, inverse(j, j));
    effects.push_back({estimate, wald.standard_error, chi2_1_tail(wald.statistic)});
  }
  return effects;
}

}  // namespace kestrune::association
