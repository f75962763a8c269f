// Great-circle distances on a sphere of diameter 12742.0176 km, by the haversine formula.
#include <algorithm>
#include <cmath>

#include "spatial/model.hpp"

namespace kestrune::spatial {
namespace {

constexpr double radians_per_degree = 0.017453292519943295;
constexpr double earth_diameter_km = 12742.0176;

double squared_sine_of_half(double angle) {
  const double s = std::sin(angle / 2.0);
  return s * s;
}

}  // namespace

Result<Eigen::MatrixXd> pairwise_haversine_km(std::span<const double> latitude, std::span<const double> longitude) {
  if (latitude.size() != longitude.size()) return fail("SPATIAL_COORDINATE_COUNT_MISMATCH");
  const auto n = static_cast<Eigen::Index>(latitude.size());
  for (Eigen::Index i = 0; i < n; ++i) {
    if (!(std::isfinite(latitude[i]) && std::fabs(latitude[i]) <= 90.0)) return fail("SPATIAL_LATITUDE_OUT_OF_RANGE");
    if (!(std::isfinite(longitude[i]) && std::fabs(longitude[i]) <= 180.0))
      return fail("SPATIAL_LONGITUDE_OUT_OF_RANGE");
  }
  std::vector<double> lat(latitude.size()), lon(longitude.size());
  for (std::size_t i = 0; i < latitude.size(); ++i) {
    lat[i] = latitude[i] * radians_per_degree;
    lon[i] = longitude[i] * radians_per_degree;
  }
  Eigen::MatrixXd distance = Eigen::MatrixXd::Zero(n, n);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < i; ++j) {
      const double h = squared_sine_of_half(lat[i] - lat[j]) +
                       (std::cos(lat[i]) * std::cos(lat[j])) * squared_sine_of_half(lon[i] - lon[j]);
      const double clamped = std::clamp(h, 0.0, 1.0);
      const double d = earth_diameter_km * std::asin(std::sqrt(clamped));
      distance(i, j) = d;
      distance(j, i) = d;
    }
  }
  return distance;
}

}  // namespace kestrune::spatial
