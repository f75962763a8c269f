// Timings of the spatial model's inner pieces: the native half of bench_spatial.py.
//
//   spatial_timing DIR REPEATS evaluation   median time of one REML value-and-gradient
//                                           evaluation, with the value and the gradient
//   spatial_timing DIR REPEATS refit        mean time of one held-decay refit (the interval's
//                                           unit of work) over REPEATS values of the range
//   spatial_timing DIR REPEATS sites        on one thread: the REML fit, one Cholesky factor
//                                           of the n x n covariance at theta, and one REML
//                                           value-and-gradient evaluation at theta through
//                                           the sites and through the dense route (medians)
//
// DIR holds kinship (n x n), distance (n x n), design (n x p), y and, for evaluation and
// sites, theta; see common.hpp.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
#include "numerics/dense.hpp"
#include "numerics/threads.hpp"
#include "numerics/whole_sample.hpp"
#include "spatial/model.hpp"

namespace {

using namespace kestrune_bench;
using kestrune::spatial::SpatialModel;

int evaluation(const SpatialModel& model, const Eigen::VectorXd& y, const std::vector<double>& theta, int repeats) {
  kestrune::spatial::Workspace workspace;
  std::optional<kestrune::spatial::Evaluation> evaluation;
  const auto seconds = time_each(repeats, [&] { evaluation = model.evaluate(theta, y, true, true, workspace); });
  if (!evaluation) return 4;
  Report().number("seconds", median(seconds)).number("value", evaluation->value)
      .numbers("gradient", evaluation->gradient).print();
  return 0;
}

int refit(const SpatialModel& model, const Eigen::VectorXd& y, int repeats) {
  const auto scaled = model.standardise(y);
  if (!scaled) return 4;
  kestrune::spatial::Workspace workspace;
  const kestrune::spatial::Held decay{kestrune::spatial::Held::Kind::decay, 0};
  const double lo = model.decay_lower(), range = std::log(model.decay_upper() / lo);
  int failed = 0, r = 0;
  // Each refit holds the decay at its own value, spread evenly on the log scale.
  const auto seconds = time_each(repeats, [&] {
    const double value = lo * std::exp(range * (r++ + 0.5) / repeats);
    if (!model.profile_objective(scaled->y, true, decay, value, false, workspace)) ++failed;
  });
  double total = 0.0;
  for (const double s : seconds) total += s;
  Report().number("seconds", total / repeats).number("failed", failed).print();
  return 0;
}

// The fit, a factor of order n, and one evaluation on each route, all on one thread.
int sites(const SpatialModel& model, const Eigen::MatrixXd& kinship, const Eigen::VectorXd& y,
          const std::vector<double>& theta, int repeats) {
  const kestrune::threads::OneBlasThread one_thread;
  kestrune::spatial::Workspace workspace;
  std::optional<kestrune::Result<kestrune::spatial::SpatialFit>> fit;
  const double fit_seconds = best(time_each(1, [&] { fit = model.fit(y, true, workspace); }));
  if (!*fit) return 4;

  const Eigen::MatrixXd kernel = (model.site_distance() * (-theta[3])).array().exp().matrix();
  const auto n = static_cast<Eigen::Index>(model.n());
  Eigen::MatrixXd v = theta[0] * kinship;
  for (Eigen::Index j = 0; j < n; ++j)
    for (Eigen::Index i = 0; i < n; ++i) v(i, j) += theta[1] * kernel(model.site_of()[i], model.site_of()[j]);
  v.diagonal().array() += theta[2];
  const auto lapack = kestrune::dense::DenseFactor::Route::lapack;
  const double factor_seconds =
      median(time_each(repeats, [&] { (void)kestrune::dense::DenseFactor::make(v, lapack); }));

  // The same covariance through each route, as the model evaluates it.
  kestrune::whole_sample::Families families =
      kestrune::whole_sample::plan(model.fixed(), model.site_of(), static_cast<std::size_t>(kernel.rows()));
  const std::vector<Eigen::MatrixXd> slope{(model.site_distance() * (-theta[1])).cwiseProduct(kernel)};
  const kestrune::whole_sample::Design design{model.design(), model.logdet_xtx()};
  const auto evaluate = [&](bool through_places) {
    families.through_places = through_places;
    const kestrune::whole_sample::GroupedCovariance covariance{
        model.fixed(), std::span<const double>(theta).first(1), model.site_of(), kernel, theta[1], theta[2], &families};
    std::optional<kestrune::whole_sample::WholeSampleLikelihood> result;
    const double seconds = median(time_each(repeats, [&] {
      result = kestrune::whole_sample::whole_sample_likelihood(covariance, design, y, true, slope, true, workspace);
    }));
    return std::pair(seconds, std::move(result));
  };
  const auto [place_seconds, place] = evaluate(true);
  const auto [dense_seconds, dense] = evaluate(false);
  if (!place || !dense) return 4;
  Report()
      .number("fit_seconds", fit_seconds)
      .number("loglik", (**fit).loglik)
      .number("factor_seconds", factor_seconds)
      .number("place_seconds", place_seconds)
      .number("dense_seconds", dense_seconds)
      .number("place_value", place->value)
      .number("dense_value", dense->value)
      .numbers("place_gradient", place->gradient)
      .numbers("dense_gradient", dense->gradient)
      .print();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: spatial_timing DIR REPEATS evaluation|refit|sites\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int repeats = std::stoi(argv[2]);
  const std::string mode = argv[3];
  const Eigen::VectorXd y = read_vector(dir, "y");
  const Eigen::MatrixXd kinship = read_square(dir, "kinship");
  auto model = SpatialModel::build({kinship}, read_square(dir, "distance"), read_matrix(dir, "design", y.size()));
  if (!model) return 3;
  if (mode == "evaluation") return evaluation(*model, y, read_doubles(dir, "theta"), repeats);
  if (mode == "refit") return refit(*model, y, repeats);
  if (mode == "sites") return sites(*model, kinship, y, read_doubles(dir, "theta"), repeats);
  return 2;
}
