#include "numerics/fixed_effects.hpp"

#include <utility>

namespace kestrune::fixed_effects {

std::optional<Design> Design::prepare(const Eigen::MatrixXd& x) {
  std::optional<rank::ColumnBasis> basis = rank::column_basis(x);
  if (!basis) return std::nullopt;
  return Design(x, std::move(*basis));
}

centring::Centred Design::centre(const Eigen::Ref<const Eigen::VectorXd>& y) const {
  return least_squares_.centre(y);
}

std::optional<Eigen::VectorXd> Design::beyond(const Eigen::Ref<const Eigen::VectorXd>& column) const {
  return basis_.beyond(column, static_cast<std::size_t>(columns_) + 1);
}

std::vector<bool> Design::beyond_each(Eigen::Ref<Eigen::MatrixXd> columns) const {
  return basis_.beyond_each(columns, static_cast<std::size_t>(columns_) + 1);
}

}  // namespace kestrune::fixed_effects
