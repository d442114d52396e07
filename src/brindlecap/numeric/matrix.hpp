#pragma once
// Two-dimensional float64 array, row-major, with the few numpy operations the library needs.

#include <cstddef>
#include <memory>

namespace brindlecap::numeric {

// Values are copied with the matrix (a copy owns its data). A matrix may also borrow the buffer
// of another owner (a numpy array, say), kept alive by `owner` for as long as the matrix lives.
class Matrix {
public:
    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols, double fill = 0.0);
    Matrix(const Matrix& other);
    Matrix& operator=(const Matrix& other);
    Matrix(Matrix&& other) noexcept = default;
    Matrix& operator=(Matrix&& other) noexcept = default;

    static Matrix zeros(std::size_t rows, std::size_t cols) { return Matrix(rows, cols, 0.0); }
    // numpy.empty: contents are unspecified; here they are zero.
    static Matrix empty(std::size_t rows, std::size_t cols) { return Matrix(rows, cols, 0.0); }
    // A matrix over rows * cols contiguous doubles that `owner` keeps alive; nothing is copied.
    static Matrix borrow(std::size_t rows, std::size_t cols, double* data, std::shared_ptr<const void> owner);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return rows_ * cols_; }

    double& operator()(std::size_t r, std::size_t c) { return data_[r * cols_ + c]; }
    double operator()(std::size_t r, std::size_t c) const { return data_[r * cols_ + c]; }
    double* data() noexcept { return data_; }
    const double* data() const noexcept { return data_; }
    // The buffer's owner (this matrix's own storage, or the borrowed buffer's owner).
    const std::shared_ptr<const void>& owner() const noexcept { return owner_; }

    Matrix copy() const { return *this; }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    double* data_ = nullptr;
    std::shared_ptr<const void> owner_;
};

// Arrays are shared the way numpy arrays are: a signal holds a handle, copies are explicit.
using MatrixPtr = std::shared_ptr<Matrix>;

// numpy.array_equal: same shape and same values; NaN equals NaN only when equal_nan is true.
bool array_equal(const Matrix& a, const Matrix& b, bool equal_nan);

}  // namespace brindlecap::numeric
