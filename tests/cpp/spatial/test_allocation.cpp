// A fit, a held refit and an evaluation reuse the workspace: once it is warm, none of them
// allocates anything of the size of the n x n covariance. Every malloc of this program
// passes through the counter below.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <vector>

#include "numerics/lapack.hpp"
#include "spatial/model.hpp"

extern "C" void* __libc_malloc(std::size_t size);

namespace {
std::atomic<std::size_t> threshold{std::numeric_limits<std::size_t>::max()};
std::atomic<std::size_t> large{0};
}  // namespace

extern "C" void* malloc(std::size_t size) {
  if (size >= threshold.load(std::memory_order_relaxed)) large.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

namespace {

using kestrune::spatial::Held;
using kestrune::spatial::SpatialModel;
using kestrune::spatial::Workspace;

constexpr int n = 90;

// Counts the allocations of n x n doubles or more that `body` makes.
template <class Body>
std::size_t large_allocations(Body body) {
  large = 0;
  threshold = sizeof(double) * n * n;
  body();
  threshold = std::numeric_limits<std::size_t>::max();
  return large.load();
}

struct Fixture {
  SpatialModel model;
  Eigen::VectorXd y;
};

Fixture fixture() {
  Eigen::MatrixXd distance(n, n), k = Eigen::MatrixXd::Identity(n, n), x(n, 2);
  Eigen::VectorXd y(n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) distance(i, j) = std::fabs(static_cast<double>(i % 30 - j % 30)) * 2.0;
    if (i % 2 == 1) k(i, i - 1) = k(i - 1, i) = 0.5;
    x(i, 0) = 1.0;
    x(i, 1) = std::cos(0.7 * i);
    y[i] = 1.0 + 0.3 * x(i, 1) + std::sin(0.21 * (i % 30)) + 0.8 * std::cos(1.3 * i * i);
  }
  auto model = SpatialModel::build({k}, distance, x);
  return {std::move(*model), y};
}

TEST(SpatialWorkspace, WarmRefitsAllocateNothingOfOrderNSquared) {
  // OpenBLAS's threaded kernels allocate their job tables per call; one thread leaves only
  // the model's own allocations to count.
  kestrune::lapack::configure_threads();  // read RAYON_NUM_THREADS now, so it cannot undo the line below
  openblas_set_num_threads(1);
  Fixture f = fixture();
  Workspace workspace;
  const std::vector<double> theta{0.3, 0.4, 0.5, std::sqrt(f.model.decay_lower() * f.model.decay_upper())};
  ASSERT_TRUE(f.model.evaluate(theta, f.y, true, true, workspace));
  EXPECT_EQ(large_allocations([&] {
              for (int r = 0; r < 5; ++r) ASSERT_TRUE(f.model.evaluate(theta, f.y, true, true, workspace));
            }),
            0u);
  ASSERT_TRUE(f.model.fit(f.y, true, workspace));
  EXPECT_EQ(large_allocations([&] { ASSERT_TRUE(f.model.fit(f.y, true, workspace)); }), 0u);
  const Held decay{Held::Kind::decay, 0};
  const double held = f.model.decay_lower() * 1.5;
  const auto scaled = f.model.standardise(f.y);
  ASSERT_TRUE(f.model.profile_objective(scaled->y, true, decay, held, false, workspace));
  EXPECT_EQ(large_allocations([&] { f.model.profile_objective(scaled->y, true, decay, held, false, workspace); }), 0u);
  EXPECT_EQ(large_allocations([&] { f.model.evaluate_integrated(std::vector<double>{0.3, 0.4, 0.5}, f.y, false, true, workspace); }),
            0u);
  // The counter sees the allocations it is meant to see.
  EXPECT_GT(large_allocations([&] { Workspace cold; f.model.evaluate(theta, f.y, true, true, cold); }), 0u);
}

}  // namespace
