// Dense row-major matrices of doubles: an owned Matrix, a read-only strided
// MatrixView, and Vector (a std::vector<double>).
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "core/numeric.hpp"

namespace quelt {

using Vector = std::vector<double>;

class Matrix;

// Read-only view: element (i, j) lives at ptr[i*row_stride + j*col_stride].
struct MatrixView {
  const double* ptr = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 1;

  double operator()(std::size_t i, std::size_t j) const {
    return ptr[static_cast<std::ptrdiff_t>(i) * row_stride +
               static_cast<std::ptrdiff_t>(j) * col_stride];
  }
  std::size_t nrows() const { return rows; }
  std::size_t ncols() const { return cols; }
  // Row-major and contiguous (strides are irrelevant along a dimension of
  // size 0 or 1).
  bool contiguous() const {
    bool col_ok = cols <= 1 || col_stride == 1;
    bool row_ok = rows <= 1 || row_stride == static_cast<std::ptrdiff_t>(cols);
    return col_ok && row_ok;
  }
  // Rows [r0, r0 + nr).
  MatrixView row_block(std::size_t r0, std::size_t nr) const {
    return {ptr + static_cast<std::ptrdiff_t>(r0) * row_stride, nr, cols, row_stride, col_stride};
  }
  // The transpose, without copying.
  MatrixView t() const { return {ptr, cols, rows, col_stride, row_stride}; }
  Matrix to_owned() const;
};

class Matrix {
 public:
  Matrix() = default;
  // rows x cols filled with `fill`. Sizes whose product overflows throw
  // std::bad_alloc (an impossible allocation, reported as such).
  Matrix(std::size_t rows, std::size_t cols, double fill = 0.0) : rows_(rows), cols_(cols) {
    auto n = checked_mul(rows, cols);
    if (!n) throw std::bad_alloc();
    reserve_fresh(*n);
    data_.assign(*n, fill);
  }
  Matrix(std::size_t rows, std::size_t cols, std::vector<double> data)
      : rows_(rows), cols_(cols), data_(std::move(data)) {
    auto n = checked_mul(rows, cols);
    check_invariant(n && *n == data_.size(), "Matrix: data size does not match its shape");
  }
  Matrix(const Matrix& o) : rows_(o.rows_), cols_(o.cols_) {
    reserve_fresh(o.data_.size());
    data_.assign(o.data_.begin(), o.data_.end());
  }
  Matrix& operator=(const Matrix& o) {
    if (this != &o) {
      if (data_.capacity() < o.data_.size()) {
        std::vector<double>().swap(data_);
        reserve_fresh(o.data_.size());
      }
      data_.assign(o.data_.begin(), o.data_.end());
      rows_ = o.rows_;
      cols_ = o.cols_;
    }
    return *this;
  }
  Matrix(Matrix&&) noexcept = default;
  Matrix& operator=(Matrix&&) noexcept = default;

  static Matrix identity(std::size_t n) {
    Matrix m(n, n);
    for (std::size_t i = 0; i < n; ++i) m(i, i) = 1.0;
    return m;
  }

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::size_t nrows() const { return rows_; }
  std::size_t ncols() const { return cols_; }
  std::size_t size() const { return data_.size(); }
  bool empty() const { return data_.empty(); }

  double* data() { return data_.data(); }
  const double* data() const { return data_.data(); }
  const std::vector<double>& storage() const { return data_; }
  std::vector<double>& storage() { return data_; }

  // Unchecked access.
  double& operator()(std::size_t i, std::size_t j) { return data_[i * cols_ + j]; }
  double operator()(std::size_t i, std::size_t j) const { return data_[i * cols_ + j]; }
  // Bounds-checked access; a violation is an invariant failure.
  double& at(std::size_t i, std::size_t j) {
    check_invariant(i < rows_ && j < cols_, "Matrix index out of bounds");
    return data_[i * cols_ + j];
  }
  double at(std::size_t i, std::size_t j) const {
    check_invariant(i < rows_ && j < cols_, "Matrix index out of bounds");
    return data_[i * cols_ + j];
  }

  double* row_ptr(std::size_t i) { return data_.data() + i * cols_; }
  const double* row_ptr(std::size_t i) const { return data_.data() + i * cols_; }
  std::span<double> row(std::size_t i) { return {row_ptr(i), cols_}; }
  std::span<const double> row(std::size_t i) const { return {row_ptr(i), cols_}; }

  MatrixView view() const {
    return {data_.data(), rows_, cols_, static_cast<std::ptrdiff_t>(cols_), 1};
  }
  operator MatrixView() const { return view(); }

  bool operator==(const Matrix& o) const {
    return rows_ == o.rows_ && cols_ == o.cols_ && data_ == o.data_;
  }

 private:
  // Allocates room for n entries without touching it; a large block is
  // advised to use huge pages before its first write.
  void reserve_fresh(std::size_t n) {
    data_.reserve(n);
    advise_huge_pages(data_.data(), n * sizeof(double));
  }

  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<double> data_;
};

inline Matrix MatrixView::to_owned() const {
  Matrix m(rows, cols);
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < cols; ++j) m(i, j) = (*this)(i, j);
  return m;
}

}  // namespace quelt
