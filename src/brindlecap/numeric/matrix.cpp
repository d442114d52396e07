#include "brindlecap/numeric/matrix.hpp"

#include <cmath>

namespace brindlecap::numeric {

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
