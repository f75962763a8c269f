#include "numerics/block_matrix.hpp"

#include <utility>

namespace kestrune::block_matrix {

Partition::Partition(std::vector<blocks::Block> parts) : parts_(std::move(parts)) {
  std::size_t n = 0;
  for (const blocks::Block& part : parts_) n += part.size();
  part_of_.resize(n);
  place_of_.resize(n);
  for (std::size_t p = 0; p < parts_.size(); ++p) {
    for (std::size_t place = 0; place < parts_[p].size(); ++place) {
      part_of_[parts_[p][place]] = p;
      place_of_[parts_[p][place]] = place;
    }
  }
}

BlockMatrix::BlockMatrix(std::shared_ptr<const Partition> partition, std::vector<Eigen::MatrixXd> blocks)
    : partition_(std::move(partition)), blocks_(std::move(blocks)) {}

double BlockMatrix::operator()(std::size_t i, std::size_t j) const {
  const std::size_t part = partition_->part_of(i);
  if (partition_->part_of(j) != part) return 0.0;
  return blocks_[part](static_cast<Eigen::Index>(partition_->place_of(i)),
                       static_cast<Eigen::Index>(partition_->place_of(j)));
}

Eigen::MatrixXd BlockMatrix::cut(std::span<const std::size_t> indices) const {
  const auto m = static_cast<Eigen::Index>(indices.size());
  Eigen::MatrixXd out(m, m);
  for (Eigen::Index c = 0; c < m; ++c)
    for (Eigen::Index r = 0; r < m; ++r)
      out(r, c) = (*this)(indices[static_cast<std::size_t>(r)], indices[static_cast<std::size_t>(c)]);
  return out;
}

double BlockMatrix::trace() const {
  const std::size_t n = this->n();
  if (n == 0) return 0.0;
  double sum = (*this)(0, 0);
  for (std::size_t i = 1; i < n; ++i) sum += (*this)(i, i);
  return sum;
}

BlockMatrix& BlockMatrix::operator+=(const BlockMatrix& other) {
  for (std::size_t p = 0; p < blocks_.size(); ++p) blocks_[p] += other.blocks_[p];
  return *this;
}

BlockMatrix operator-(BlockMatrix a, const BlockMatrix& b) {
  for (std::size_t p = 0; p < a.blocks_.size(); ++p) a.blocks_[p] -= b.blocks_[p];
  return a;
}

double inner_product(const BlockMatrix& a, const BlockMatrix& b) {
  double sum = 0.0;
  for (std::size_t p = 0; p < a.blocks_.size(); ++p) sum += a.blocks_[p].cwiseProduct(b.blocks_[p]).sum();
  return sum;
}

matrix_scan::Findings scan(const BlockMatrix& a, const matrix_scan::Tests& tests, blocks::Links* links) {
  matrix_scan::Findings all;
  const auto& parts = a.partition()->parts();
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const matrix_scan::Findings found = matrix_scan::scan(a.block(p), tests, links, parts[p]);
    all.finite &= found.finite;
    all.symmetric &= found.symmetric;
    all.same_pattern &= found.same_pattern;
    all.too_close |= found.too_close;
  }
  return all;
}

}  // namespace kestrune::block_matrix
