// Overlap and clipping: the crossing point of two segments, the all-pairs separating-axis test
// between two sets of rotated rectangles, and integer bounds of boxes.
//
// Each kernel keeps the arithmetic of the NumPy formulation term for term (np.cross as
// a0 * b1 - a1 * b0, np.linalg.norm as the square root of x * x + y * y, einsum's two-term dot
// products summed in subscript order), in the element type of the inputs, so values and the
// decisions taken on them are those of the NumPy steps.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "geometry/boxes.hpp"

namespace vh::geometry {

// ---------------------------------------------------------------------------------------------
// intersect

// The crossing point of segment a1-a2 with segment b1-b2 within a tolerance of the parameters.
template <class T>
struct Crossing {
    T denominator;  // np.cross(r, s); the caller asserts it is not zero
    T lambda_a, lambda_b;
    bool found;  // whether a point is returned (else None)
    T point[2];
};

template <class T>
inline T cross(T ux, T uy, T vx, T vy) noexcept {
    T cp = ux * vy;
    const T tmp = uy * vx;
    cp = cp - tmp;
    return cp;
}

// Python's min(1.0, t) then max(0.0, ...): the first argument unless the second compares below
// (above) it, so NaN becomes 1.
template <class T>
inline T clamp_unit(T t) noexcept {
    const T upper = t < T(1) ? t : T(1);
    return upper > T(0) ? upper : T(0);
}

// How far a parameter lies outside [0, 1]: -t if t <= 0, t - 1 if t >= 1, else 0 (NaN: 0).
template <class T>
inline T outside_unit(T t) noexcept {
    if (t <= T(0)) return -t;
    if (t >= T(1)) return t - T(1);
    return T(0);
}

// `tolerance` is 1e-11 in the precision the comparison runs in.
template <class T>
inline Crossing<T> intersect(const T a1[2], const T a2[2], const T b1[2], const T b2[2], T tolerance) noexcept {
    const T rx = a2[0] - a1[0], ry = a2[1] - a1[1];
    const T sx = b2[0] - b1[0], sy = b2[1] - b1[1];
    const T dx = b1[0] - a1[0], dy = b1[1] - a1[1];
    Crossing<T> c{};
    const T nominator = cross(dx, dy, sx, sy);
    c.denominator = cross(rx, ry, sx, sy);
    const T lambda_a = c.lambda_a = nominator / c.denominator;
    const T lambda_b = c.lambda_b = cross(dx, dy, rx, ry) / c.denominator;
    const T bad_a = outside_unit(lambda_a), bad_b = outside_unit(lambda_b);
    const T badness = bad_b > bad_a ? bad_b : bad_a;  // Python's max
    c.found = badness < tolerance;
    if (c.found) {
        const T t = clamp_unit(lambda_b);
        const T px = t * sx, py = t * sy;
        c.point[0] = b1[0] + px;
        c.point[1] = b1[1] + py;
    }
    return c;
}

// ---------------------------------------------------------------------------------------------
// intersections

// One rectangle set prepared for the pairwise test: corner 0 as the origin, the four corners,
// and the two axis vectors -2d / |2d|^2 (d the half-side vectors of rows 0 and 1 of distances).
template <class T>
struct RectangleSet {
    Index n = 0;
    std::unique_ptr<T[]> memory;
    T *x[4], *y[4];          // corners, structure of arrays
    T *bottom_x, *bottom_y;  // to_bottom
    T *right_x, *right_y;    // to_right

    RectangleSet(View3<const T> corners, View3<const T> distances, Index count) : n(count) {
        memory.reset(new T[static_cast<std::size_t>(count > 0 ? count : 1) * 12]);
        for (int k = 0; k < 4; ++k) {
            x[k] = memory.get() + (2 * k) * count;
            y[k] = memory.get() + (2 * k + 1) * count;
        }
        bottom_x = memory.get() + 8 * count;
        bottom_y = memory.get() + 9 * count;
        right_x = memory.get() + 10 * count;
        right_y = memory.get() + 11 * count;
        for (Index i = 0; i < count; ++i) {
            for (int k = 0; k < 4; ++k) {
                x[k][i] = corners(i, k, 0);
                y[k][i] = corners(i, k, 1);
            }
            axis(distances(i, 0, 0), distances(i, 0, 1), bottom_x[i], bottom_y[i]);
            axis(distances(i, 1, 0), distances(i, 1, 1), right_x[i], right_y[i]);
        }
    }

    // -d * 2 / np.linalg.norm(d * 2) ** 2, each operation rounded to T.
    static void axis(T dx, T dy, T& out_x, T& out_y) noexcept {
        const T two = 2;
        const T fx = dx * two, fy = dy * two;
        const T length = norm(fx, fy);
        const T squared = length * length;
        out_x = (-dx * two) / squared;
        out_y = (-dy * two) / squared;
    }
};

// Whether the four normalised coordinates (origin - corner k) . w all lie below 0 or all above 1:
// the pair is separated along that axis (NaN never separates). Branch-free, so that the loop over
// the rectangles of b vectorises.
template <class T>
inline bool separated(T ox, T oy, const T* const cx[4], const T* const cy[4], Index j, T wx, T wy) noexcept {
    bool below = true, above = true;
    for (int k = 0; k < 4; ++k) {
        const T ex = ox - cx[k][j], ey = oy - cy[k][j];
        const T px = ex * wx, py = ey * wy;
        const T v = px + py;
        below &= v < T(0);
        above &= v > T(1);
    }
    return below | above;
}

// out[i * Nb + j]: whether rectangle i of a and rectangle j of b are not separated along any of
// the four axes (b's corners against a's axes from A_i, a's corners against b's axes from E_j).
// Which axis separates does not change the answer: a's two axes are tested for a whole row at
// once, b's axes only for the pairs they leave.
template <class T>
void intersections(const RectangleSet<T>& a, const RectangleSet<T>& b, bool* out) noexcept {
    const Index Na = a.n, Nb = b.n;
    for (Index i = 0; i < Na; ++i) {
        const T Ax = a.x[0][i], Ay = a.y[0][i];
        const T rax = a.right_x[i], ray = a.right_y[i], bax = a.bottom_x[i], bay = a.bottom_y[i];
        const T* acx[4] = {a.x[0] + i, a.x[1] + i, a.x[2] + i, a.x[3] + i};
        const T* acy[4] = {a.y[0] + i, a.y[1] + i, a.y[2] + i, a.y[3] + i};
        bool* row = out + i * Nb;
        for (Index j = 0; j < Nb; ++j)
            row[j] = !(separated(Ax, Ay, b.x, b.y, j, rax, ray) | separated(Ax, Ay, b.x, b.y, j, bax, bay));
        for (Index j = 0; j < Nb; ++j) {
            if (!row[j]) continue;
            const T Ex = b.x[0][j], Ey = b.y[0][j];
            row[j] = !(separated(Ex, Ey, acx, acy, 0, b.right_x[j], b.right_y[j]) |
                       separated(Ex, Ey, acx, acy, 0, b.bottom_x[j], b.bottom_y[j]));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// surrounding_rectangle_from_corners

// np.minimum / np.maximum of two values: NaN wins.
template <class T>
inline T nan_min(T a, T b) noexcept {
    return (a < b || a != a) ? a : b;
}
template <class T>
inline T nan_max(T a, T b) noexcept {
    return (a > b || a != a) ? a : b;
}

// Whether astype(np.int32) of v is the truncated value (NaN, infinities and values beyond the
// range of int32 are not).
template <class T>
inline bool fits_int32(T v) noexcept {
    return v > T(-2147483649.0) && v < T(2147483648.0);
}

// Per box the smallest and largest x and y over its four corners, truncated toward zero.
// Returns false (results incomplete) when a value does not convert to int32 exactly as a C cast.
template <class T>
bool surrounding_rectangles(View3<const T> corners, Index n, std::int32_t* min_out, std::int32_t* max_out) noexcept {
    for (Index i = 0; i < n; ++i) {
        for (int t = 0; t < 2; ++t) {
            T lo = corners(i, 0, t), hi = lo;
            for (int k = 1; k < 4; ++k) {
                const T v = corners(i, k, t);
                lo = nan_min(lo, v);
                hi = nan_max(hi, v);
            }
            if (!fits_int32(lo) || !fits_int32(hi)) return false;
            min_out[2 * i + t] = static_cast<std::int32_t>(lo);
            max_out[2 * i + t] = static_cast<std::int32_t>(hi);
        }
    }
    return true;
}

}  // namespace vh::geometry
