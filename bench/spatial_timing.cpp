// Timings of the spatial model's inner pieces, driven by bench_spatial.py, which compiles
// this against a build tree and times the numpy route of the same quantities in the same run.
//
//   spatial_timing DIR REPEATS evaluation   median time of one REML value-and-gradient
//                                           evaluation, then the value and the gradient
//   spatial_timing DIR REPEATS refit        mean time of one held-decay refit (the interval's
//                                           unit of work) over REPEATS values of the range
// DIR holds n.txt ("n p") and the raw column-major float64 files kinship, distance, design,
// y and theta.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "spatial/model.hpp"

namespace {

using kestrune::spatial::SpatialModel;

Eigen::MatrixXd read(const std::string& path, Eigen::Index rows, Eigen::Index cols) {
  Eigen::MatrixXd m(rows, cols);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(m.data()), static_cast<std::streamsize>(sizeof(double) * m.size()));
  return m;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int evaluation(const SpatialModel& model, const Eigen::VectorXd& y, const std::vector<double>& theta, int repeats) {
  kestrune::spatial::Workspace workspace;
  std::vector<double> seconds;
  std::optional<kestrune::spatial::Evaluation> evaluation;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    evaluation = model.evaluate(theta, y, true, true, workspace);
    seconds.push_back(seconds_since(start));
  }
  if (!evaluation) return 4;
  std::sort(seconds.begin(), seconds.end());
  std::printf("%.9f %.17g", seconds[seconds.size() / 2], evaluation->value);
  for (const double g : evaluation->gradient) std::printf(" %.17g", g);
  std::printf("\n");
  return 0;
}

int refit(const SpatialModel& model, const Eigen::VectorXd& y, int repeats) {
  const auto scaled = model.standardise(y);
  if (!scaled) return 4;
  kestrune::spatial::Workspace workspace;
  const kestrune::spatial::Held decay{kestrune::spatial::Held::Kind::decay, 0};
  const double lo = model.decay_lower(), range = std::log(model.decay_upper() / lo);
  int failed = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < repeats; ++r) {
    const double value = lo * std::exp(range * (r + 0.5) / repeats);
    if (!model.profile_objective(scaled->y, true, decay, value, false, workspace)) ++failed;
  }
  std::printf("%.9f %d\n", seconds_since(start) / repeats, failed);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string dir = argv[1];
  const int repeats = std::stoi(argv[2]);
  const std::string mode = argv[3];
  Eigen::Index n = 0, p = 0;
  std::ifstream(dir + "/n.txt") >> n >> p;
  auto model = SpatialModel::build({read(dir + "/kinship", n, n)}, read(dir + "/distance", n, n),
                                   read(dir + "/design", n, p));
  if (!model) return 3;
  const Eigen::VectorXd y = read(dir + "/y", n, 1);
  const Eigen::MatrixXd theta = read(dir + "/theta", 4, 1);
  if (mode == "evaluation") return evaluation(*model, y, {theta.data(), theta.data() + 4}, repeats);
  if (mode == "refit") return refit(*model, y, repeats);
  return 2;
}
