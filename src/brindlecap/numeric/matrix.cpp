#include "brindlecap/numeric/matrix.hpp"

#include <algorithm>
#include <cmath>

namespace brindlecap::numeric {

Matrix::Matrix(std::size_t rows, std::size_t cols, double fill) : rows_(rows), cols_(cols) {
    if (rows * cols == 0) return;
    std::shared_ptr<double[]> storage(new double[rows * cols]);
    std::fill_n(storage.get(), rows * cols, fill);
    data_ = storage.get();
    owner_ = std::move(storage);
}

Matrix::Matrix(const Matrix& other) : Matrix(other.rows_, other.cols_) {
    if (size() != 0) std::copy_n(other.data_, size(), data_);
}

Matrix& Matrix::operator=(const Matrix& other) {
    if (this != &other) *this = Matrix(other);
    return *this;
}

Matrix Matrix::borrow(std::size_t rows, std::size_t cols, double* data, std::shared_ptr<const void> owner) {
    Matrix m;
    m.rows_ = rows;
    m.cols_ = cols;
    m.data_ = data;
    m.owner_ = std::move(owner);
    return m;
}

bool array_equal(const Matrix& a, const Matrix& b, bool equal_nan) {
    if (a.rows() != b.rows() || a.cols() != b.cols()) return false;
    const double* x = a.data();
    const double* y = b.data();
    for (std::size_t i = 0, n = a.size(); i < n; ++i) {
        if (x[i] == y[i]) continue;
        if (equal_nan && std::isnan(x[i]) && std::isnan(y[i])) continue;
        return false;
    }
    return true;
}

}  // namespace brindlecap::numeric
