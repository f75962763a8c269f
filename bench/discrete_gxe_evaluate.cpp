// Times DiscreteGxeModel::evaluate with its gradient for bench_discrete_gxe.py, which builds
// this driver against the build's static libraries and gives it the data in one raw file:
//   n, p (as doubles), K (n*n, column-major), environment (n), X (n*p, column-major), y (n),
//   the five parameters, reml (0 or 1), repeats.
// Prints the objective, the five derivatives and the mean seconds of one evaluation.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <vector>

#include "discrete_gxe/model.hpp"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::ifstream file(argv[1], std::ios::binary);
  auto read = [&file](std::size_t count) {
    std::vector<double> values(count);
    file.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(count * sizeof(double)));
    return values;
  };
  const auto sizes = read(2);
  const auto n = static_cast<Eigen::Index>(sizes[0]);
  const auto p = static_cast<Eigen::Index>(sizes[1]);
  const auto k = read(n * n), environment = read(n), x = read(n * p), y = read(n), rest = read(7);
  if (!file) return 3;

  const auto model = kestrune::discrete_gxe::DiscreteGxeModel::build_expecting(
      Eigen::Map<const Eigen::MatrixXd>(k.data(), n, n), Eigen::Map<const Eigen::VectorXd>(environment.data(), n),
      Eigen::Map<const Eigen::MatrixXd>(x.data(), n, p), std::nullopt);
  if (!model) return 4;
  const Eigen::VectorXd response = Eigen::Map<const Eigen::VectorXd>(y.data(), n);
  const kestrune::discrete_gxe::Parameters at{rest[0], rest[1], rest[2], rest[3], rest[4]};
  const bool reml = rest[5] != 0.0;
  const int repeats = static_cast<int>(rest[6]);

  std::optional<kestrune::discrete_gxe::Evaluation> evaluation;
  const auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < repeats; ++r) evaluation = model->evaluate(at, response, reml, true);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  if (!evaluation) return 5;
  std::printf("%.17g", evaluation->objective);
  for (double g : evaluation->gradient) std::printf(" %.17g", g);
  std::printf(" %.9g\n", elapsed.count() / repeats);
  return 0;
}
