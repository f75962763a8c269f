// Timings of the spatial model's inner pieces: the native half of bench_spatial.py.
//
//   spatial_timing DIR REPEATS evaluation   median time of one REML value-and-gradient
//                                           evaluation, with the value and the gradient
//   spatial_timing DIR REPEATS refit        mean time of one held-decay refit (the interval's
//                                           unit of work) over REPEATS values of the range
//
// DIR holds kinship (n x n), distance (n x n), design (n x p), y and, for evaluation, theta;
// see common.hpp.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: spatial_timing DIR REPEATS evaluation|refit\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int repeats = std::stoi(argv[2]);
  const std::string mode = argv[3];
  const Eigen::VectorXd y = read_vector(dir, "y");
  auto model = SpatialModel::build({read_square(dir, "kinship")}, read_square(dir, "distance"),
                                   read_matrix(dir, "design", y.size()));
  if (!model) return 3;
  if (mode == "evaluation") return evaluation(*model, y, read_doubles(dir, "theta"), repeats);
  if (mode == "refit") return refit(*model, y, repeats);
  return 2;
}
