// One value-and-gradient evaluation of the spatial likelihood, timed; driven by
// bench_spatial.py, which compiles this against a build tree and times the numpy route
// of the same quantities in the same run.
//
//   spatial_evaluation DIR REPEATS   (DIR holds n.txt and the raw float64 files below)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "spatial/model.hpp"

namespace {

Eigen::MatrixXd read(const std::string& path, Eigen::Index rows, Eigen::Index cols) {
  Eigen::MatrixXd m(rows, cols);  // the files are column-major
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(m.data()), static_cast<std::streamsize>(sizeof(double) * m.size()));
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string dir = argv[1];
  const int repeats = std::stoi(argv[2]);
  Eigen::Index n = 0, p = 0;
  std::ifstream(dir + "/n.txt") >> n >> p;
  auto model = kestrune::spatial::SpatialModel::build({read(dir + "/kinship", n, n)}, read(dir + "/distance", n, n),
                                                      read(dir + "/design", n, p));
  if (!model) return 3;
  const Eigen::VectorXd y = read(dir + "/y", n, 1);
  const Eigen::MatrixXd theta = read(dir + "/theta", 4, 1);
  const std::vector<double> t(theta.data(), theta.data() + 4);
  kestrune::spatial::Workspace workspace;
  std::vector<double> seconds;
  std::optional<kestrune::spatial::Evaluation> evaluation;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    evaluation = model->evaluate(t, y, true, true, workspace);
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  if (!evaluation) return 4;
  std::sort(seconds.begin(), seconds.end());
  std::printf("%.9f %.17g", seconds[seconds.size() / 2], evaluation->value);
  for (const double g : evaluation->gradient) std::printf(" %.17g", g);
  std::printf("\n");
  return 0;
}
