#pragma once
// Two-dimensional float64 array, row-major, with the few numpy operations the library needs.

#include <cstddef>
#include <memory>
#include <vector>

namespace brindlecap::numeric {

class Matrix {
public:
    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols, double fill = 0.0)
        : rows_(rows), cols_(cols), data_(rows * cols, fill) {}

    static Matrix zeros(std::size_t rows, std::size_t cols) { return Matrix(rows, cols, 0.0); }
    // numpy.empty: contents are unspecified; here they are zero.
    static Matrix empty(std::size_t rows, std::size_t cols) { return Matrix(rows, cols, 0.0); }

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return data_.size(); }

    double& operator()(std::size_t r, std::size_t c) { return data_[r * cols_ + c]; }
    double operator()(std::size_t r, std::size_t c) const { return data_[r * cols_ + c]; }
    double* data() noexcept { return data_.data(); }
    const double* data() const noexcept { return data_.data(); }

    Matrix copy() const { return *this; }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<double> data_;
};

// Arrays are shared the way numpy arrays are: a signal holds a handle, copies are explicit.
using MatrixPtr = std::shared_ptr<Matrix>;

// numpy.array_equal: same shape and same values; NaN equals NaN only when equal_nan is true.
bool array_equal(const Matrix& a, const Matrix& b, bool equal_nan);

}  // namespace brindlecap::numeric
