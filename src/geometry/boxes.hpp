// Rotated boxes: parallelogram fitting, corner points and the VEXL / keypoint / inference-box
// conversions, one pass over the boxes.
//
// Each kernel reproduces the arithmetic of the NumPy formulation of the same step term for term
// (operand order, the precision of every intermediate, einsum's zero-initialised rotation sums,
// `mean`'s running sum), so results are bit-identical with it, the sign of NaN included: where two
// NaN meet, the one NumPy's loop keeps (see Fast and Exact; the caller passes the orders it found
// in NumPy: PointOrder for the rotations, NanOrder for the additions). Transcendental functions
// come from a `Math` policy supplied by the caller (NumPy's own inner loops), called on chunks of
// boxes:
//
//   math.cos(const T* in, Index in_step, T* out, Index n)      out contiguous, steps in bytes
//   math.sin(const T* in, Index in_step, T* out, Index n)
//   math.atan2(const T* y, Index y_step, const T* x, Index x_step, T* out, Index n)
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "geometry/rotation.hpp"

namespace vh::geometry {

using Index = std::ptrdiff_t;

inline constexpr double kPi = 3.141592653589793;
inline constexpr Index kChunk = 128;

// Strided views (byte strides).
template <class T>
struct View1 {
    char* data;
    Index s0;
    T& operator()(Index i) const noexcept { return strided<T>(data, i * s0); }
};
template <class T>
struct View2 {
    char* data;
    Index s0, s1;
    T& operator()(Index i, Index j) const noexcept { return strided<T>(data, i * s0 + j * s1); }
};
template <class T>
struct View3 {
    char* data;
    Index s0, s1, s2;
    T& operator()(Index i, Index j, Index k) const noexcept { return strided<T>(data, i * s0 + j * s1 + k * s2); }
};

// NumPy's remainder of floats: the result takes the sign of the divisor (Python's convention).
template <class T>
inline T floor_remainder(T a, T b) noexcept {
    T mod = std::fmod(a, b);
    if (!b) return mod;
    if (mod) {
        if ((b < 0) != (mod < 0)) mod += b;
    } else {
        mod = std::copysign(T(0), b);
    }
    return mod;
}

// np.linalg.norm over the last axis of length 2: sqrt of the reduced sum of squares (with Fast
// where only whether it is NaN matters).
template <class A = Exact, class T>
inline T norm(T x, T y) noexcept {
    const T zero = 0;
    return std::sqrt(A::add(zero + x * x, y * y));
}

// Which NaN a NumPy step a + b (or a - b) keeps when both operands are NaN, for each element of
// each of the n rows (boxes) it works on: its vector loops and the scalar code of their remainder
// take the operands in different orders, its loop may run along the rows, across them or over a
// buffer of all elements, and all of that differs between NumPy versions. The caller fills it in
// from NumPy itself, for each step of the NumPy formulation where two NaN can meet. Runs of more
// rows than the table holds repeat the pattern of the vector body and remainder with a period
// of 16 rows.
struct NanOrder {
    static constexpr Index kRows = 64;
    std::uint8_t first_kept[kRows][kRows];  // [n - 1][i], bit e: element e of row i keeps a's NaN

    NanOrder() noexcept { std::fill(&first_kept[0][0], &first_kept[0][0] + kRows * kRows, 0xFF); }

    // The elements of row i of n that keep a's NaN.
    std::uint8_t row(Index n, Index i) const noexcept {
        if (n > kRows) {
            const Index like = kRows - 16 + n % 16, shift = n - like;
            i = i < shift ? i % 16 : i - shift;
            n = like;
        }
        return first_kept[n - 1][i];
    }
};

// a + b or a - b at row i of n (a single element), keeping the NaN `order` says.
template <class T>
inline T update_in_order(const NanOrder& order, Index n, Index i, T a, T b, bool subtract) noexcept {
    const T r = subtract ? ordered::sub(a, b) : ordered::add(a, b);
    if (!std::isnan(r) || !std::isnan(b) || (order.row(n, i) & 1)) return r;
    return ordered::add(b, a);  // b's NaN
}

// np.argmax of two values: the first maximum, or the first NaN.
template <class T>
inline int argmax2(T first, T second) noexcept {
    if (std::isnan(first)) return 0;
    return !(second <= first) ? 1 : 0;
}

// Whether a longer half-axis fails to lie on the x axis: |y| >= 1e-5 (NaN does not fail).
template <class T>
inline bool off_axis(T y) noexcept {
    return std::abs(y) >= static_cast<T>(1e-5);
}

// How parallelogram_to_box changes the longer half-axis: grown (MAX), kept (AVG and anything
// else) or shrunk (MIN) by the absolute x offset of the other half-axis.
enum class Reconstruction { Grow, Keep, Shrink };

// Corners from top and right half-axes, relative to the centre: top - right, top + right,
// right - top, -right - top (the sum of coordinate d with the NaN of top first where bit d of
// `top_first` is set, else that of right). A as in rotate_points.
template <class A, class T>
inline void corners_from_half_axes(T tx, T ty, T rx, T ry, T out[4][2], unsigned top_first) noexcept {
    out[0][0] = A::sub(tx, rx);
    out[0][1] = A::sub(ty, ry);
    out[1][0] = A::add(top_first & 1, tx, rx);
    out[1][1] = A::add(top_first >> 1 & 1, ty, ry);
    out[2][0] = A::sub(rx, tx);
    out[2][1] = A::sub(ry, ty);
    out[3][0] = A::sub(-rx, tx);
    out[3][1] = A::sub(-ry, ty);
}

// The sum of a few results, as a tree: NaN when one of them is (or from inf - inf, which only
// costs a second look).
template <class T, std::size_t N>
inline T sum_of(const T (&v)[N]) noexcept {
    static_assert(N == 2 || N == 4);
    if constexpr (N == 2)
        return v[0] + v[1];
    else
        return (v[0] + v[1]) + (v[2] + v[3]);
}
template <class T, std::size_t N, std::size_t M>
inline T sum_of(const T (&v)[N][M]) noexcept {
    static_assert(N == 2 || N == 4);
    if constexpr (N == 2)
        return sum_of(v[0]) + sum_of(v[1]);
    else
        return (sum_of(v[0]) + sum_of(v[1])) + (sum_of(v[2]) + sum_of(v[3]));
}
template <class V>
inline bool any_nan(const V& values) noexcept {
    const auto sum = sum_of(values);
    return sum != sum;
}

// Runs box(i) for the n boxes with Fast, then again with Exact for the boxes with a NaN result
// (see Fast): box.template operator()<A>(i) computes and stores the results of box i and returns
// whether one is NaN, from inputs it does not change.
template <class Box>
[[gnu::noinline, gnu::cold]] void redo_exactly(Index n, Box& box) noexcept {
    for (Index i = 0; i < n; ++i)
        if (box.template operator()<Fast>(i)) box.template operator()<Exact>(i);
}
template <class Box>
inline void fast_then_exact(Index n, Box&& box) noexcept {
    bool nan = false;
    for (Index i = 0; i < n; ++i) nan |= box.template operator()<Fast>(i);
    if (nan) [[unlikely]]
        redo_exactly(n, box);
}

// parallelogram_to_box on a flat half-axis list (2 P x 2). `longer[k]` is the flat row of the
// longer half-axis of parallelogram k (0 <= longer[k] < 2 P); `updated` is scratch for P values.
// Every value is read before anything is written, and writes land in index order, as NumPy's
// fancy-index update does; `update` is that update's order (np.add or np.subtract, as the mode
// needs). Returns false when a longer half-axis is off the x axis.
template <class T, class I>
bool parallelogram_to_box(View2<T> flat, View1<const I> longer, Index P, Reconstruction mode, bool check, T* updated,
                          const NanOrder& update) noexcept {
    auto other_row = [&](Index k) { return (longer(k) + 1) % 2 + 2 * k; };
    if (mode != Reconstruction::Keep) {
        for (Index k = 0; k < P; ++k) {
            const T offset = std::abs(flat(other_row(k), 0));
            const T x = flat(static_cast<Index>(longer(k)), 0);
            updated[k] = update_in_order(update, P, k, x, offset, mode == Reconstruction::Shrink);
        }
        for (Index k = 0; k < P; ++k) flat(static_cast<Index>(longer(k)), 0) = updated[k];
    }
    for (Index k = 0; k < P; ++k) flat(other_row(k), 0) = T(0);
    if (check) {
        for (Index k = 0; k < P; ++k)
            if (off_axis(flat(static_cast<Index>(longer(k)), 1))) return false;
    }
    return true;
}

// get_box_and_rotation_from_parallelogram_keypoints in float64: keypoints P x {center, top,
// right} x 2 to corners (P x 4 x 2, order top-left, top-right, bottom-right, bottom-left) and
// rotations (contiguous). `order` is that of the rotations of the half-axes; `update` that of the
// update of the longer axis, `corner_sum` of top + right, `center_sum` of corners + centre.
// Returns false when the alignment check fails.
template <class Tin, class Math>
bool fit_parallelograms(View3<const Tin> kp, Index P, Reconstruction mode, bool check, View3<double> corners,
                        double* rotations, const Math& math, PointOrder order, const NanOrder& update,
                        const NanOrder& corner_sum, const NanOrder& center_sum) noexcept {
    double half[kChunk][2][2], saved[kChunk][2][2];  // per box: top, right half-axes
    double longer_axis[kChunk][2];
    double angle[kChunk], negated[kChunk], c[kChunk], s[kChunk];
    int longer[kChunk];
    double center[kChunk][2];
    for (Index base = 0; base < P; base += kChunk) {
        const Index n = std::min(kChunk, P - base);
        for (Index i = 0; i < n; ++i) {
            const Index p = base + i;
            const double cx = static_cast<double>(kp(p, 0, 0)), cy = static_cast<double>(kp(p, 0, 1));
            center[i][0] = cx;
            center[i][1] = cy;
            VH_UNROLL
            for (int j = 0; j < 2; ++j) {
                half[i][j][0] = static_cast<double>(kp(p, 1 + j, 0)) - cx;
                half[i][j][1] = static_cast<double>(kp(p, 1 + j, 1)) - cy;
            }
            longer[i] = argmax2(norm<Fast>(half[i][0][0], half[i][0][1]), norm<Fast>(half[i][1][0], half[i][1][1]));
            longer_axis[i][0] = half[i][longer[i]][0];
            longer_axis[i][1] = half[i][longer[i]][1];
        }
        math.atan2(&longer_axis[0][1], sizeof longer_axis[0], &longer_axis[0][0], sizeof longer_axis[0], angle, n);
        for (Index i = 0; i < n; ++i) negated[i] = -angle[i];
        math.cos(negated, sizeof(double), c, n);
        math.sin(negated, sizeof(double), s, n);
        // Turned onto the x axis, and the longer half-axis updated.
        auto align = [&]<class A>(Index i) VH_INLINE {
            VH_UNROLL
            for (int j = 0; j < 2; ++j) einsum_rotate<A>(order, c[i], s[i], half[i][j][0], half[i][j][1]);
            double& x = half[i][longer[i]][0];
            const double offset = std::abs(half[i][1 - longer[i]][0]);
            if (mode == Reconstruction::Grow)
                x = std::is_same_v<A, Fast> ? x + offset : update_in_order(update, P, base + i, x, offset, false);
            else if (mode == Reconstruction::Shrink)
                x = std::is_same_v<A, Fast> ? x - offset : update_in_order(update, P, base + i, x, offset, true);
            half[i][1 - longer[i]][0] = 0.0;
        };
        std::copy(&half[0][0][0], &half[0][0][0] + 4 * n, &saved[0][0][0]);
        bool nan = false;
        for (Index i = 0; i < n; ++i) {
            align.template operator()<Fast>(i);
            nan |= any_nan(half[i]);
        }
        if (nan) [[unlikely]] {
            for (Index i = 0; i < n; ++i) {
                if (!any_nan(half[i])) continue;
                std::copy(&saved[i][0][0], &saved[i][0][0] + 4, &half[i][0][0]);
                align.template operator()<Exact>(i);
            }
        }
        if (check) {
            for (Index i = 0; i < n; ++i)
                if (off_axis(half[i][longer[i]][1])) return false;
        }
        math.cos(angle, sizeof(double), c, n);
        math.sin(angle, sizeof(double), s, n);
        // Turned back, and the corners about the centre.
        auto box = [&]<class A>(Index i, double(&out)[4][2]) VH_INLINE {
            VH_UNROLL
            for (int j = 0; j < 2; ++j) einsum_rotate<A>(order, c[i], s[i], half[i][j][0], half[i][j][1]);
            const unsigned top_first = std::is_same_v<A, Fast> ? 0 : corner_sum.row(P, base + i);
            const unsigned corner_first = std::is_same_v<A, Fast> ? 0 : center_sum.row(P, base + i);  // bit 2 k + d
            corners_from_half_axes<A>(half[i][0][0], half[i][0][1], half[i][1][0], half[i][1][1], out, top_first);
            VH_UNROLL
            for (int k = 0; k < 4; ++k) {
                VH_UNROLL
                for (int d = 0; d < 2; ++d)
                    out[k][d] = A::add(corner_first >> (2 * k + d) & 1, out[k][d], center[i][d]);
            }
            VH_UNROLL
            for (int k = 0; k < 4; ++k) {
                VH_UNROLL
                for (int d = 0; d < 2; ++d) corners(base + i, k, d) = out[k][d];
            }
        };
        std::copy(&half[0][0][0], &half[0][0][0] + 4 * n, &saved[0][0][0]);
        nan = false;
        for (Index i = 0; i < n; ++i) {
            double out[4][2];
            box.template operator()<Fast>(i, out);
            nan |= any_nan(out);
        }
        if (nan) [[unlikely]] {
            for (Index i = 0; i < n; ++i) {
                bool box_nan = false;
                VH_UNROLL
                for (int k = 0; k < 4; ++k) {
                    VH_UNROLL
                    for (int d = 0; d < 2; ++d) box_nan |= std::isnan(corners(base + i, k, d));
                }
                if (!box_nan) continue;
                std::copy(&saved[i][0][0], &saved[i][0][0] + 4, &half[i][0][0]);
                double out[4][2];
                box.template operator()<Exact>(i, out);
            }
        }
        math.atan2(&half[0][0][1], sizeof half[0], &half[0][0][0], sizeof half[0], rotations + base, n);
        for (Index i = 0; i < n; ++i) rotations[base + i] = rotations[base + i] + kPi / 2;
    }
    return true;
}

// vexl_to_keypoints: VEXL boxes (N x 5, dtype T) to the flat keypoint list (3 N x 2, float64,
// contiguous). The negated rotation is wrapped into [-pi, pi) in T; the offsets are float64 and
// rotated in the given order; `right_sum` is the order of centre + right offset.
template <class T, class Math>
void vexl_to_keypoints(View2<const T> vexl, Index N, double* keypoints, const Math& math, PointOrder order,
                       const NanOrder& right_sum) noexcept {
    T rotation[kChunk], c[kChunk], s[kChunk];
    for (Index base = 0; base < N; base += kChunk) {
        const Index n = std::min(kChunk, N - base);
        for (Index i = 0; i < n; ++i)
            rotation[i] = floor_remainder(ordered::mul(vexl(base + i, 4), T(-1)) + T(kPi), T(2 * kPi)) - T(kPi);
        math.cos(rotation, sizeof(T), c, n);
        math.sin(rotation, sizeof(T), s, n);
        auto box = [&]<class A>(Index i) VH_INLINE {
            const Index b = base + i;
            const double half_width = static_cast<double>(vexl(b, 2) / T(2));
            const double half_height = static_cast<double>(vexl(b, 3) / T(2));
            const double cosine = static_cast<double>(c[i]), sine = static_cast<double>(s[i]);
            const double cx = static_cast<double>(vexl(b, 0)), cy = static_cast<double>(vexl(b, 1));
            double to_top_x = A::mul(half_width, 0.0), to_top_y = A::mul(half_height, 1.0);
            double to_right_x = A::mul(half_width, 1.0), to_right_y = A::mul(half_height, 0.0);
            einsum_rotate<A>(order, cosine, sine, to_top_x, to_top_y);
            einsum_rotate<A>(order, cosine, sine, to_right_x, to_right_y);
            const unsigned center_first = std::is_same_v<A, Fast> ? 0 : right_sum.row(N, b);
            double* row = keypoints + 6 * b;
            row[0] = cx;
            row[1] = cy;
            row[2] = A::sub(cx, to_top_x);
            row[3] = A::sub(cy, to_top_y);
            row[4] = A::add(center_first & 1, cx, to_right_x);
            row[5] = A::add(center_first >> 1 & 1, cy, to_right_y);
            const double sum = (row[2] + row[3]) + (row[4] + row[5]);
            return sum != sum;
        };
        fast_then_exact(n, box);
    }
}

// The signs of the half sides at the corners of vexl_to_box_corners.
inline constexpr double kCornerSigns[4][2] = {{-1, -1}, {-1, 1}, {1, 1}, {1, -1}};

// vexl_to_box_corners: VEXL boxes (N x 5, dtype T) to float64 corners (N x 4 x 2), order
// top-left, bottom-left, bottom-right, top-right; rotated by the negated (unwrapped) rotation, in
// the given order; `center_sum` is the order of offset + centre.
template <class T, class Math>
void vexl_to_box_corners(View2<const T> vexl, Index N, View3<double> corners, const Math& math, PointOrder order,
                         const NanOrder& center_sum) noexcept {
    T angle[kChunk], c[kChunk], s[kChunk];
    for (Index base = 0; base < N; base += kChunk) {
        const Index n = std::min(kChunk, N - base);
        for (Index i = 0; i < n; ++i) angle[i] = ordered::mul(vexl(base + i, 4), T(-1));
        math.cos(angle, sizeof(T), c, n);
        math.sin(angle, sizeof(T), s, n);
        fast_then_exact(n, [&]<class A>(Index i) VH_INLINE {
            const Index b = base + i;
            const double half[2] = {static_cast<double>(vexl(b, 2) / T(2)), static_cast<double>(vexl(b, 3) / T(2))};
            const double center[2] = {static_cast<double>(vexl(b, 0)), static_cast<double>(vexl(b, 1))};
            const double cosine = static_cast<double>(c[i]), sine = static_cast<double>(s[i]);
            const unsigned offset_first = std::is_same_v<A, Fast> ? 0 : center_sum.row(N, b);  // bit 2 k + d
            double out[4][2];
            VH_UNROLL
            for (int k = 0; k < 4; ++k) {
                double x = A::mul(half[0], kCornerSigns[k][0]), y = A::mul(half[1], kCornerSigns[k][1]);
                einsum_rotate<A>(order, cosine, sine, x, y);
                out[k][0] = A::add(offset_first >> (2 * k) & 1, x, center[0]);
                out[k][1] = A::add(offset_first >> (2 * k + 1) & 1, y, center[1]);
            }
            VH_UNROLL
            for (int k = 0; k < 4; ++k) {
                corners(b, k, 0) = out[k][0];
                corners(b, k, 1) = out[k][1];
            }
            return any_nan(out);
        });
    }
}

// box_corners_to_vexl: corners (N x 4 x 2, dtype Tc) and rotations (N, dtype Tr) to VEXL boxes
// (N x 5, dtype Tout). The centre is the mean of the corners (a running sum from zero, divided
// by 4); corners 1 and 3, taken about it and turned back by the rotation, give width and height
// (their absolute values: the order of the rotation does not matter).
template <class Tc, class Tr, class Tout, class Math>
void box_corners_to_vexl(View3<const Tc> box_corners, View1<const Tr> rotations, Index N, View2<Tout> vexl,
                         const Math& math) noexcept {
    Tr negated[kChunk], c[kChunk], s[kChunk];
    for (Index base = 0; base < N; base += kChunk) {
        const Index n = std::min(kChunk, N - base);
        for (Index i = 0; i < n; ++i) negated[i] = -rotations(base + i);
        math.cos(negated, sizeof(Tr), c, n);
        math.sin(negated, sizeof(Tr), s, n);
        for (Index i = 0; i < n; ++i) {
            const Index b = base + i;
            Tc center[2];
            VH_UNROLL
            for (int d = 0; d < 2; ++d) {
                Tc sum = 0;
                VH_UNROLL
                for (int k = 0; k < 4; ++k) sum = ordered::add(sum, box_corners(b, k, d));
                center[d] = sum / Tc(4);
            }
            Tc x1 = box_corners(b, 1, 0) - center[0], y1 = box_corners(b, 1, 1) - center[1];
            Tc x3 = box_corners(b, 3, 0) - center[0], y3 = box_corners(b, 3, 1) - center[1];
            const Tc cosine = static_cast<Tc>(c[i]), sine = static_cast<Tc>(s[i]);
            einsum_rotate<Fast>(PointOrder{}, cosine, sine, x1, y1);
            einsum_rotate<Fast>(PointOrder{}, cosine, sine, x3, y3);
            vexl(b, 0) = static_cast<Tout>(center[0]);
            vexl(b, 1) = static_cast<Tout>(center[1]);
            vexl(b, 2) = static_cast<Tout>(std::abs(x1 - x3));
            vexl(b, 3) = static_cast<Tout>(std::abs(y1 - y3));
            vexl(b, 4) = static_cast<Tout>(ordered::div(rotations(b), Tr(-1)));
        }
    }
}

// keypoints_to_vexl: parallelogram keypoints (P x 3 x 2, dtype T; top and right are replaced by
// their offsets from the centre) to float32 VEXL boxes (P x 5, contiguous).
template <class T, class Math>
void keypoints_to_vexl(View3<T> kp, Index P, float* vexl, const Math& math) noexcept {
    T angle[kChunk];
    for (Index base = 0; base < P; base += kChunk) {
        const Index n = std::min(kChunk, P - base);
        for (Index i = 0; i < n; ++i) {
            const Index p = base + i;
            const T cx = kp(p, 0, 0), cy = kp(p, 0, 1);
            const T tx = ordered::sub(kp(p, 1, 0), cx), ty = ordered::sub(kp(p, 1, 1), cy);
            const T rx = ordered::sub(kp(p, 2, 0), cx), ry = ordered::sub(kp(p, 2, 1), cy);
            kp(p, 1, 0) = tx;
            kp(p, 1, 1) = ty;
            kp(p, 2, 0) = rx;
            kp(p, 2, 1) = ry;
            float* row = vexl + 5 * p;
            row[0] = static_cast<float>(cx);
            row[1] = static_cast<float>(cy);
            row[3] = static_cast<float>(norm(tx, ty) * T(2));
            row[2] = static_cast<float>(norm(rx, ry) * T(2));
        }
        math.atan2(&kp(base, 1, 1), kp.s0, &kp(base, 1, 0), kp.s0, angle, n);
        for (Index i = 0; i < n; ++i)
            vexl[5 * (base + i) + 4] = static_cast<float>(-ordered::add(angle[i], T(kPi / 2)));
    }
}

// keypoints_to_box_corners: parallelogram keypoints (P x 3 x 2) to corners (P x 4 x 2), order
// top-left, top-right, bottom-right, bottom-left, in the keypoints' dtype. `corner_sum` is the
// order of top + right, `center_sum` of corners + centre.
template <class T>
void keypoints_to_box_corners(View3<const T> kp, Index P, View3<T> corners, const NanOrder& corner_sum,
                              const NanOrder& center_sum) noexcept {
    fast_then_exact(P, [&]<class A>(Index p) VH_INLINE {
        const T cx = kp(p, 0, 0), cy = kp(p, 0, 1);
        const T tx = kp(p, 1, 0) - cx, ty = kp(p, 1, 1) - cy, rx = kp(p, 2, 0) - cx, ry = kp(p, 2, 1) - cy;
        const unsigned top_first = std::is_same_v<A, Fast> ? 0 : corner_sum.row(P, p);
        const unsigned corner_first = std::is_same_v<A, Fast> ? 0 : center_sum.row(P, p);  // bit 2 k + d
        T out[4][2];
        corners_from_half_axes<A>(tx, ty, rx, ry, out, top_first);
        VH_UNROLL
        for (int k = 0; k < 4; ++k) {
            out[k][0] = A::add(corner_first >> (2 * k) & 1, out[k][0], cx);
            out[k][1] = A::add(corner_first >> (2 * k + 1) & 1, out[k][1], cy);
        }
        VH_UNROLL
        for (int k = 0; k < 4; ++k) {
            corners(p, k, 0) = out[k][0];
            corners(p, k, 1) = out[k][1];
        }
        return any_nan(out);
    });
}

// get_corner_points_from_box_tuples: {top, right} half-axes (B x 2 x 2) to corners about the
// centre (B x 4 x 2); `corner_sum` is the order of top + right.
template <class T>
void corner_points_from_box_tuples(View3<const T> tuples, Index B, View3<T> corners,
                                   const NanOrder& corner_sum) noexcept {
    fast_then_exact(B, [&]<class A>(Index b) VH_INLINE {
        const T tx = tuples(b, 0, 0), ty = tuples(b, 0, 1), rx = tuples(b, 1, 0), ry = tuples(b, 1, 1);
        T offsets[4][2];
        corners_from_half_axes<A>(tx, ty, rx, ry, offsets, std::is_same_v<A, Fast> ? 0 : corner_sum.row(B, b));
        VH_UNROLL
        for (int k = 0; k < 4; ++k) {
            corners(b, k, 0) = offsets[k][0];
            corners(b, k, 1) = offsets[k][1];
        }
        return any_nan(offsets);
    });
}

// inference_boxes_to_corners in float32: boxes (N x >= 5) to corners (N x 4 x 2: c - b - r,
// c + b - r, c - b + r, c + b + r) and half-side vectors (N x 4 x 2: to_bottom, to_right, and two
// rows that are rotated zeros, rotated in the given order), both contiguous. `scaling` is the
// order of the half sides times size_factor, `bottom_sum` and `right_sum` those of the additions of
// to_bottom and to_right.
template <class Math>
void inference_boxes_to_corners(View2<const float> boxes, Index N, float size_factor, float* corners, float* distances,
                                const Math& math, PointOrder order, const NanOrder& scaling, const NanOrder& bottom_sum,
                                const NanOrder& right_sum) noexcept {
    float orientation[kChunk], c[kChunk], s[kChunk];
    for (Index base = 0; base < N; base += kChunk) {
        const Index n = std::min(kChunk, N - base);
        for (Index i = 0; i < n; ++i)
            orientation[i] = floor_remainder(static_cast<float>(kPi) - boxes(base + i, 4), static_cast<float>(2 * kPi));
        math.cos(orientation, sizeof(float), c, n);
        math.sin(orientation, sizeof(float), s, n);
        fast_then_exact(n, [&]<class A>(Index i) VH_INLINE {
            const Index b = base + i;
            const bool fast = std::is_same_v<A, Fast>;
            const float center[2] = {boxes(b, 0), boxes(b, 1)};
            const bool half_first = fast || (scaling.row(N, b) & 1);
            float rows[4][2] = {{A::mul(half_first, boxes(b, 2) / 2.0f, size_factor), 0.0f},
                                {0.0f, A::mul(half_first, boxes(b, 3) / 2.0f, size_factor)},
                                {0.0f, 0.0f},
                                {0.0f, 0.0f}};
            VH_UNROLL
            for (auto& row : rows) einsum_rotate<A>(order, c[i], s[i], row[0], row[1]);
            // bit 2 j + axis: the j-th corner the step adds to (corners 1 and 3; 2 and 3)
            const unsigned bottom_first = fast ? 0 : bottom_sum.row(N, b);
            const unsigned right_first = fast ? 0 : right_sum.row(N, b);
            float out[4][2];
            VH_UNROLL
            for (int axis = 0; axis < 2; ++axis) {
                const float to_bottom = rows[0][axis], to_right = rows[1][axis];
                const bool bottom1 = bottom_first >> axis & 1, bottom3 = bottom_first >> (2 + axis) & 1;
                const bool right2 = right_first >> axis & 1, right3 = right_first >> (2 + axis) & 1;
                out[0][axis] = A::sub(A::sub(center[axis], to_bottom), to_right);
                out[1][axis] = A::sub(A::add(bottom1, center[axis], to_bottom), to_right);
                out[2][axis] = A::add(right2, A::sub(center[axis], to_bottom), to_right);
                out[3][axis] = A::add(right3, A::add(bottom3, center[axis], to_bottom), to_right);
            }
            std::copy(&rows[0][0], &rows[0][0] + 8, distances + 8 * b);
            std::copy(&out[0][0], &out[0][0] + 8, corners + 8 * b);
            return any_nan(rows) || any_nan(out);
        });
    }
}

}  // namespace vh::geometry
