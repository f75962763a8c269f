// One REML value-and-gradient evaluation of the autoregressive grid model, timed with a warm
// workspace as a fit reuses it: the native half of bench_autoregressive.py.
//
//   autoregressive_evaluate DIR REPEATS
//
// DIR holds kinship (n x n), row and column (int64, each person's cell), design (n x p), y and
// theta (c_kinship, c_ar, c_res, rho_row, rho_col); see common.hpp. Prints the value, its
// gradient and the best time of one evaluation.
#include <optional>
#include <string>
#include <vector>

#include "autoregressive/model.hpp"
#include "common.hpp"

int main(int argc, char** argv) {
  using namespace kestrune_bench;
  if (argc != 3) {
    std::fprintf(stderr, "usage: autoregressive_evaluate DIR REPEATS\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int repeats = std::stoi(argv[2]);

  const Eigen::VectorXd y = read_vector(dir, "y");
  const auto model = kestrune::autoregressive::AutoregressiveModel::build(
      {read_square(dir, "kinship")}, read_integers(dir, "row"), read_integers(dir, "column"),
      read_matrix(dir, "design", y.size()));
  if (!model) return 3;
  const std::vector<double> theta = read_doubles(dir, "theta");

  kestrune::whole_sample::Workspace workspace;
  // The first evaluation sizes the workspace; the timed ones find it ready.
  std::optional<kestrune::autoregressive::Evaluation> evaluation = model->evaluate(theta, y, true, true, workspace);
  const auto seconds = time_each(repeats, [&] { evaluation = model->evaluate(theta, y, true, true, workspace); });
  if (!evaluation) return 4;
  Report().number("seconds", best(seconds)).number("value", evaluation->value)
      .numbers("gradient", evaluation->gradient).print();
  return 0;
}
