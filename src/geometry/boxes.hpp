// Rotated boxes: parallelogram fitting, corner points and the VEXL / keypoint / inference-box
// conversions, one pass over the boxes.
//
// Each kernel reproduces the arithmetic of the NumPy formulation of the same step term for term
// (operand order, the precision of every intermediate, einsum's zero-initialised rotation sums,
// `mean`'s running sum), so results are bit-identical with it. Transcendental functions come from
// a `Math` policy supplied by the caller (NumPy's own inner loops), called on chunks of boxes:
//
//   math.cos(const T* in, Index in_step, T* out, Index n)      out contiguous, steps in bytes
//   math.sin(const T* in, Index in_step, T* out, Index n)
//   math.atan2(const T* y, Index y_step, const T* x, Index x_step, T* out, Index n)
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>

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

// A point rotated as einsum("rcR,Rxc->Rxr") rotates it: zero-initialised sums of two products.
template <class T>
inline void rotate(T c, T s, T& x, T& y) noexcept {
    const T zero = 0;
    const T minus_s = -s;
    const T nx = (zero + c * x) + minus_s * y;
    const T ny = (zero + s * x) + c * y;
    x = nx;
    y = ny;
}

// np.linalg.norm over the last axis of length 2: sqrt of the reduced sum of squares.
template <class T>
inline T norm(T x, T y) noexcept {
    const T zero = 0;
    return std::sqrt((zero + x * x) + y * y);
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
// right - top, -right - top.
template <class T>
inline void corners_from_half_axes(T tx, T ty, T rx, T ry, T out[4][2]) noexcept {
    out[0][0] = tx - rx;
    out[0][1] = ty - ry;
    out[1][0] = tx + rx;
    out[1][1] = ty + ry;
    out[2][0] = rx - tx;
    out[2][1] = ry - ty;
    out[3][0] = -rx - tx;
    out[3][1] = -ry - ty;
}

// parallelogram_to_box on a flat half-axis list (2 P x 2). `longer[k]` is the flat row of the
// longer half-axis of parallelogram k (0 <= longer[k] < 2 P); `other` is scratch for P values.
// Every value is read before anything is written, and writes land in index order, as NumPy's
// fancy-index update does. Returns false when a longer half-axis is off the x axis.
template <class T, class I>
bool parallelogram_to_box(View2<T> flat, View1<const I> longer, Index P, Reconstruction mode, bool check,
                          T* updated) noexcept {
    auto other_row = [&](Index k) { return (longer(k) + 1) % 2 + 2 * k; };
    if (mode != Reconstruction::Keep) {
        for (Index k = 0; k < P; ++k) {
            const T offset = std::abs(flat(other_row(k), 0));
            const T x = flat(static_cast<Index>(longer(k)), 0);
            updated[k] = mode == Reconstruction::Grow ? x + offset : x - offset;
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
// rotations (contiguous). Returns false when the alignment check fails.
template <class Tin, class Math>
bool fit_parallelograms(View3<const Tin> kp, Index P, Reconstruction mode, bool check, View3<double> corners,
                        double* rotations, const Math& math) noexcept {
    double half[kChunk][2][2];  // per box: top, right half-axes
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
            for (int j = 0; j < 2; ++j) {
                half[i][j][0] = static_cast<double>(kp(p, 1 + j, 0)) - cx;
                half[i][j][1] = static_cast<double>(kp(p, 1 + j, 1)) - cy;
            }
            longer[i] = argmax2(norm(half[i][0][0], half[i][0][1]), norm(half[i][1][0], half[i][1][1]));
            longer_axis[i][0] = half[i][longer[i]][0];
            longer_axis[i][1] = half[i][longer[i]][1];
        }
        math.atan2(&longer_axis[0][1], sizeof longer_axis[0], &longer_axis[0][0], sizeof longer_axis[0], angle, n);
        for (Index i = 0; i < n; ++i) negated[i] = -angle[i];
        math.cos(negated, sizeof(double), c, n);
        math.sin(negated, sizeof(double), s, n);
        for (Index i = 0; i < n; ++i) {
            for (int j = 0; j < 2; ++j) rotate(c[i], s[i], half[i][j][0], half[i][j][1]);
            double* longer_half = half[i][longer[i]];
            double* other_half = half[i][1 - longer[i]];
            if (mode == Reconstruction::Grow) longer_half[0] = longer_half[0] + std::abs(other_half[0]);
            else if (mode == Reconstruction::Shrink) longer_half[0] = longer_half[0] - std::abs(other_half[0]);
            other_half[0] = 0.0;
            if (check && off_axis(longer_half[1])) return false;
        }
        math.cos(angle, sizeof(double), c, n);
        math.sin(angle, sizeof(double), s, n);
        for (Index i = 0; i < n; ++i) {
            for (int j = 0; j < 2; ++j) rotate(c[i], s[i], half[i][j][0], half[i][j][1]);
            double offsets[4][2];
            corners_from_half_axes(half[i][0][0], half[i][0][1], half[i][1][0], half[i][1][1], offsets);
            for (int k = 0; k < 4; ++k)
                for (int d = 0; d < 2; ++d) corners(base + i, k, d) = offsets[k][d] + center[i][d];
        }
        math.atan2(&half[0][0][1], sizeof half[0], &half[0][0][0], sizeof half[0], rotations + base, n);
        for (Index i = 0; i < n; ++i) rotations[base + i] = rotations[base + i] + kPi / 2;
    }
    return true;
}

// vexl_to_keypoints: VEXL boxes (N x 5, dtype T) to the flat keypoint list (3 N x 2, float64,
// contiguous). The negated rotation is wrapped into [-pi, pi) in T; the offsets are float64.
template <class T, class Math>
void vexl_to_keypoints(View2<const T> vexl, Index N, double* keypoints, const Math& math) noexcept {
    T rotation[kChunk], c[kChunk], s[kChunk];
    for (Index base = 0; base < N; base += kChunk) {
        const Index n = std::min(kChunk, N - base);
        for (Index i = 0; i < n; ++i)
            rotation[i] = floor_remainder(vexl(base + i, 4) * T(-1) + T(kPi), T(2 * kPi)) - T(kPi);
        math.cos(rotation, sizeof(T), c, n);
        math.sin(rotation, sizeof(T), s, n);
        for (Index i = 0; i < n; ++i) {
            const Index b = base + i;
            const double half_width = static_cast<double>(vexl(b, 2) / T(2));
            const double half_height = static_cast<double>(vexl(b, 3) / T(2));
            double to_top_x = half_width * 0.0, to_top_y = half_height * 1.0;
            double to_right_x = half_width * 1.0, to_right_y = half_height * 0.0;
            const double cosine = static_cast<double>(c[i]), sine = static_cast<double>(s[i]);
            rotate(cosine, sine, to_top_x, to_top_y);
            rotate(cosine, sine, to_right_x, to_right_y);
            const double cx = static_cast<double>(vexl(b, 0)), cy = static_cast<double>(vexl(b, 1));
            double* row = keypoints + 6 * b;
            row[0] = cx;
            row[1] = cy;
            row[2] = cx - to_top_x;
            row[3] = cy - to_top_y;
            row[4] = cx + to_right_x;
            row[5] = cy + to_right_y;
        }
    }
}

// vexl_to_box_corners: VEXL boxes (N x 5, dtype T) to float64 corners (N x 4 x 2), order
// top-left, bottom-left, bottom-right, top-right; rotated by the negated (unwrapped) rotation.
template <class T, class Math>
void vexl_to_box_corners(View2<const T> vexl, Index N, View3<double> corners, const Math& math) noexcept {
    static constexpr double kSigns[4][2] = {{-1, -1}, {-1, 1}, {1, 1}, {1, -1}};
    T angle[kChunk], c[kChunk], s[kChunk];
    for (Index base = 0; base < N; base += kChunk) {
        const Index n = std::min(kChunk, N - base);
        for (Index i = 0; i < n; ++i) angle[i] = vexl(base + i, 4) * T(-1);
        math.cos(angle, sizeof(T), c, n);
        math.sin(angle, sizeof(T), s, n);
        for (Index i = 0; i < n; ++i) {
            const Index b = base + i;
            const double half[2] = {static_cast<double>(vexl(b, 2) / T(2)), static_cast<double>(vexl(b, 3) / T(2))};
            const double center[2] = {static_cast<double>(vexl(b, 0)), static_cast<double>(vexl(b, 1))};
            const double cosine = static_cast<double>(c[i]), sine = static_cast<double>(s[i]);
            for (int k = 0; k < 4; ++k) {
                double x = half[0] * kSigns[k][0], y = half[1] * kSigns[k][1];
                rotate(cosine, sine, x, y);
                corners(b, k, 0) = x + center[0];
                corners(b, k, 1) = y + center[1];
            }
        }
    }
}

// box_corners_to_vexl: corners (N x 4 x 2, dtype Tc) and rotations (N, dtype Tr) to VEXL boxes
// (N x 5, dtype Tout). The centre is the mean of the corners (a running sum from zero, divided
// by 4); corners 1 and 3, taken about it and turned back by the rotation, give width and height.
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
            for (int d = 0; d < 2; ++d) {
                Tc sum = 0;
                for (int k = 0; k < 4; ++k) sum = sum + box_corners(b, k, d);
                center[d] = sum / Tc(4);
            }
            Tc x1 = box_corners(b, 1, 0) - center[0], y1 = box_corners(b, 1, 1) - center[1];
            Tc x3 = box_corners(b, 3, 0) - center[0], y3 = box_corners(b, 3, 1) - center[1];
            const Tc cosine = static_cast<Tc>(c[i]), sine = static_cast<Tc>(s[i]);
            rotate(cosine, sine, x1, y1);
            rotate(cosine, sine, x3, y3);
            vexl(b, 0) = static_cast<Tout>(center[0]);
            vexl(b, 1) = static_cast<Tout>(center[1]);
            vexl(b, 2) = static_cast<Tout>(std::abs(x1 - x3));
            vexl(b, 3) = static_cast<Tout>(std::abs(y1 - y3));
            vexl(b, 4) = static_cast<Tout>(rotations(b) / Tr(-1));
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
            const T tx = kp(p, 1, 0) - cx, ty = kp(p, 1, 1) - cy;
            const T rx = kp(p, 2, 0) - cx, ry = kp(p, 2, 1) - cy;
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
        for (Index i = 0; i < n; ++i) vexl[5 * (base + i) + 4] = static_cast<float>(-(angle[i] + T(kPi / 2)));
    }
}

// keypoints_to_box_corners: parallelogram keypoints (P x 3 x 2) to corners (P x 4 x 2), order
// top-left, top-right, bottom-right, bottom-left, in the keypoints' dtype.
template <class T>
void keypoints_to_box_corners(View3<const T> kp, Index P, View3<T> corners) noexcept {
    for (Index p = 0; p < P; ++p) {
        const T cx = kp(p, 0, 0), cy = kp(p, 0, 1);
        T offsets[4][2];
        corners_from_half_axes(kp(p, 1, 0) - cx, kp(p, 1, 1) - cy, kp(p, 2, 0) - cx, kp(p, 2, 1) - cy, offsets);
        for (int k = 0; k < 4; ++k) {
            corners(p, k, 0) = offsets[k][0] + cx;
            corners(p, k, 1) = offsets[k][1] + cy;
        }
    }
}

// get_corner_points_from_box_tuples: {top, right} half-axes (B x 2 x 2) to corners about the
// centre (B x 4 x 2).
template <class T>
void corner_points_from_box_tuples(View3<const T> tuples, Index B, View3<T> corners) noexcept {
    for (Index b = 0; b < B; ++b) {
        T offsets[4][2];
        corners_from_half_axes(tuples(b, 0, 0), tuples(b, 0, 1), tuples(b, 1, 0), tuples(b, 1, 1), offsets);
        for (int k = 0; k < 4; ++k) {
            corners(b, k, 0) = offsets[k][0];
            corners(b, k, 1) = offsets[k][1];
        }
    }
}

// inference_boxes_to_corners in float32: boxes (N x >= 5) to corners (N x 4 x 2: c - b - r,
// c + b - r, c - b + r, c + b + r) and half-side vectors (N x 4 x 2: to_bottom, to_right, and two
// rows that are rotated zeros), both contiguous.
template <class Math>
void inference_boxes_to_corners(View2<const float> boxes, Index N, float size_factor, float* corners,
                                float* distances, const Math& math) noexcept {
    float orientation[kChunk], c[kChunk], s[kChunk];
    for (Index base = 0; base < N; base += kChunk) {
        const Index n = std::min(kChunk, N - base);
        for (Index i = 0; i < n; ++i)
            orientation[i] = floor_remainder(static_cast<float>(kPi) - boxes(base + i, 4), static_cast<float>(2 * kPi));
        math.cos(orientation, sizeof(float), c, n);
        math.sin(orientation, sizeof(float), s, n);
        for (Index i = 0; i < n; ++i) {
            const Index b = base + i;
            float rows[4][2] = {{boxes(b, 2) / 2.0f * size_factor, 0.0f},
                                {0.0f, boxes(b, 3) / 2.0f * size_factor},
                                {0.0f, 0.0f},
                                {0.0f, 0.0f}};
            for (auto& row : rows) rotate(c[i], s[i], row[0], row[1]);
            float* d = distances + 8 * b;
            for (int k = 0; k < 4; ++k) {
                d[2 * k] = rows[k][0];
                d[2 * k + 1] = rows[k][1];
            }
            float* out = corners + 8 * b;
            for (int axis = 0; axis < 2; ++axis) {
                const float center = boxes(b, axis), to_bottom = rows[0][axis], to_right = rows[1][axis];
                out[0 + axis] = (center - to_bottom) - to_right;
                out[2 + axis] = (center + to_bottom) - to_right;
                out[4 + axis] = (center - to_bottom) + to_right;
                out[6 + axis] = (center + to_bottom) + to_right;
            }
        }
    }
}

}  // namespace vh::geometry
