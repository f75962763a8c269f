// One dense LAPACK call of each kind timed on one OpenBLAS thread and on the whole pool: the
// native half of `bench_threads.py --case crossover`, which places the crossovers of
// src/numerics/threads.cpp.
//
//   lapack_threads DIR REPEATS ORDER
//
// DIR is unused (the matrix is generated). Prints, for each kind, the best time of REPEATS
// calls on one thread and on the pool (OpenBLAS's own count at load), the copy of the input
// taken out, and the crossover the library uses for it.
#include <string>
#include <vector>

#include "common.hpp"
#include "numerics/lapack.hpp"
#include "numerics/threads.hpp"

namespace {

using namespace kestrune_bench;
using kestrune::threads::Kind;

// 0.7^|i-j| plus the identity: positive definite, with a spread of eigenvalues.
Eigen::MatrixXd test_matrix(int n) {
  Eigen::MatrixXd a(n, n);
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) a(i, j) = std::pow(0.7, std::abs(i - j)) + (i == j ? 1.0 : 0.0);
  }
  return a;
}

// The best time of `repeats` calls of `call` on a fresh copy of `input`, the copy taken out.
template <class Call>
double timed(int repeats, const Eigen::MatrixXd& input, Call call) {
  Eigen::MatrixXd m = input;
  const double copy = best(time_each(repeats, [&] { m = input; }));
  const double total = best(time_each(repeats, [&] {
    m = input;
    call(m);
  }));
  return std::max(0.0, total - copy);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: lapack_threads DIR REPEATS ORDER\n");
    return 2;
  }
  const int repeats = std::stoi(argv[2]);
  const int n = std::stoi(argv[3]);
  const int pool = openblas_get_num_threads();
  const Eigen::MatrixXd a = test_matrix(n);
  Eigen::MatrixXd lower = a;
  int info = 0;
  dpotrf_("L", &n, lower.data(), &n, &info, 1);
  if (info != 0) return 3;
  const Eigen::MatrixXd rhs = Eigen::MatrixXd::Identity(n, n);
  int lwork = -1, liwork = -1, iwork_size = 0;
  double work_size = 0.0;
  Eigen::VectorXd w(n);
  Eigen::MatrixXd scratch = a;
  dsyevd_("V", "L", &n, scratch.data(), &n, w.data(), &work_size, &lwork, &iwork_size, &liwork, &info, 1, 1);
  lwork = static_cast<int>(work_size);
  liwork = iwork_size;
  std::vector<double> work(static_cast<std::size_t>(std::max(lwork, 1)));
  std::vector<int> iwork(static_cast<std::size_t>(std::max(liwork, 1)));

  Report report;
  report.number("order", n).number("pool", pool);
  for (const int threads : {1, pool}) {
    openblas_set_num_threads(threads);
    const std::string suffix = threads == 1 ? "_one" : "_pool";
    report.number("factor" + suffix, timed(repeats, a, [&](Eigen::MatrixXd& m) {
      dpotrf_("L", &n, m.data(), &n, &info, 1);
    }));
    // As many right-hand sides as the order: the solves the pool can split.
    report.number("solve" + suffix, timed(repeats, rhs, [&](Eigen::MatrixXd& m) {
      dpotrs_("L", &n, &n, lower.data(), &n, m.data(), &n, &info, 1);
    }));
    report.number("inverse" + suffix, timed(repeats, lower, [&](Eigen::MatrixXd& m) {
      dpotri_("L", &n, m.data(), &n, &info, 1);
    }));
    report.number("eigen" + suffix, timed(repeats, a, [&](Eigen::MatrixXd& m) {
      dsyevd_("V", "L", &n, m.data(), &n, w.data(), work.data(), &lwork, iwork.data(), &liwork, &info, 1, 1);
    }));
  }
  for (const Kind kind : {Kind::factor, Kind::solve, Kind::inverse, Kind::eigen}) {
    static const char* const names[] = {"factor_crossover", "solve_crossover", "inverse_crossover", "eigen_crossover"};
    report.number(names[static_cast<int>(kind)], static_cast<double>(kestrune::threads::crossover(kind)));
  }
  report.print();
  return 0;
}
