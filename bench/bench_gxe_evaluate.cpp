// One GxeModel evaluation with its gradient, timed: the native half of bench_gxe.py.
//
//   bench_gxe_evaluate <dir> <n> <p> <surface value> <reml 0|1> <repeats>
//
// Reads <dir>/{relationship,environment,design,y,theta}.bin (float64, column-major) and
// prints the objective, the six gradient slots and the best time of one evaluation.
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "gxe/surface.hpp"

namespace {

std::vector<double> read(const std::string& path, std::size_t count) {
  std::vector<double> values(count);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(count * sizeof(double)));
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) return 2;
  const std::string dir = argv[1];
  const long n = std::atol(argv[2]), p = std::atol(argv[3]);
  const auto surface = static_cast<kestrune::gxe::Surface>(std::atoi(argv[4]));
  const bool reml = std::atoi(argv[5]) != 0;
  const int repeats = std::atoi(argv[6]);

  const auto k = read(dir + "/relationship.bin", n * n);
  const auto environment = read(dir + "/environment.bin", n);
  const auto x = read(dir + "/design.bin", n * p);
  const auto y = read(dir + "/y.bin", n);
  const auto theta = read(dir + "/theta.bin", 6);
  auto model = kestrune::gxe::GxeModel::build(surface, Eigen::Map<const Eigen::MatrixXd>(k.data(), n, n),
                                               environment, Eigen::Map<const Eigen::MatrixXd>(x.data(), n, p));
  if (!model) return 3;
  const Eigen::Map<const Eigen::VectorXd> response(y.data(), n);
  kestrune::gxe::Theta t{};
  std::copy(theta.begin(), theta.end(), t.begin());

  double best = 1e300;
  std::optional<kestrune::gxe::Evaluation> evaluation;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    evaluation = model->evaluate(t, response, reml, true);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  if (!evaluation) return 4;
  std::printf("%.17g", evaluation->objective);
  for (double g : evaluation->gradient) std::printf(" %.17g", g);
  std::printf(" %.9g\n", best);
  return 0;
}
