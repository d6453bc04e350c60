// The band kernels: output channels of a float32 image computed from strided source bands of
// any integer or float type with the arithmetic of the NumPy steps they replace (plain C++, no
// Python.h). One pass over the image writes every channel, chunk by chunk, and streams each
// finished chunk to the copy kept as the cached result; bands that need their minimum and maximum
// take one pass before.
//
// A band maps each value v of its source onto [-1, 1] in one of three ways:
//   Map     the ufunc steps (v - min) * scale - 1, optionally clipped, each step rounded as
//           NumPy rounds it: a step on an integer or float64 operand runs in double precision,
//           a step on a float32 operand in single precision unless the Python float operand
//           makes NumPy choose the double loop (`Map::subtract32`, `Map::multiply32`); every
//           step stores float32;
//   Affine  min-max normalisation in double precision, v * scale + shift, stored as float32;
//   Fill    0.0 everywhere.
// 8-bit sources go through a 256-entry table made with the same arithmetic.
#pragma once
#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vh::bands {

enum class Type : std::uint8_t { U8, I8, U16, I16, U32, I32, U64, I64, F32, F64 };

struct Map {
    double min = 0.0, scale = 0.0;
    float min32 = 0.0f, scale32 = 0.0f;  // the operands as NumPy rounds them for a float32 loop
    bool subtract = false;               // min != 0: the subtraction step runs
    bool subtract32 = true;              // a float32 operand minus min runs in float32
    bool multiply32 = true;              // a float32 operand times scale runs in float32
    bool clip = false;
};

struct Affine {
    double scale = 0.0, shift = 0.0;
};

enum class Op : std::uint8_t { Fill, Map, Affine, Normalize, NormalizeAffine };

// One output channel: its source (first element, byte strides per axis, type, byte order) and
// how it is computed. Normalize and NormalizeAffine first take the source's minimum and maximum
// (`extremes`) and become Map / Fill or Affine.
struct Band {
    const char* data = nullptr;
    std::vector<std::ptrdiff_t> strides;
    Type type = Type::U8;
    bool swapped = false;
    std::size_t channel = 0;
    Op op = Op::Fill;
    Map map;
    Affine affine;
    std::array<float, 256> table;  // for 8-bit sources
    bool tabled = false;
};

inline std::size_t size_of(Type t) {
    switch (t) {
        case Type::U8:
        case Type::I8:
            return 1;
        case Type::U16:
        case Type::I16:
            return 2;
        case Type::U32:
        case Type::I32:
        case Type::F32:
            return 4;
        default:
            return 8;
    }
}

// Whether NumPy runs a ufunc on a float32 array and the Python float `v` in float32. Under
// NumPy's legacy value-based promotion (before NEP 50) a finite value outside (-3.4e38, 3.4e38)
// needs the double loop; under NEP 50 the Python float always takes the array's type.
inline bool float32_loop(double v, bool legacy_promotion) {
    return !legacy_promotion || !std::isfinite(v) || (v > -3.4e38 && v < 3.4e38);
}

// The Map of the ufunc steps for bounds min < max (or NaN bounds).
inline Map make_map(double min, double max, bool clip, bool legacy_promotion) {
    Map m;
    m.min = min;
    m.scale = 2.0 / (max - min);
    m.min32 = static_cast<float>(min);
    m.scale32 = static_cast<float>(m.scale);
    m.subtract = min != 0;
    m.subtract32 = float32_loop(min, legacy_promotion);
    m.multiply32 = float32_loop(m.scale, legacy_promotion);
    m.clip = clip;
    return m;
}

// Min-max normalisation onto [-1, 1] as OpenCV defines it (NORM_MINMAX): a range not above
// DBL_EPSILON maps everything to -1.
inline Affine make_affine(double min, double max) {
    Affine a;
    a.scale = max - min > DBL_EPSILON ? 2.0 / (max - min) : 0.0;
    a.shift = -1.0 - min * a.scale;
    return a;
}

template <class T>
inline T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

// One value through the ufunc steps; the flags are the Map's, fixed per loop.
template <class T, bool Subtract, bool Subtract32, bool Multiply32, bool Clip>
inline float map_element(T v, const Map& m) {
    float t;
    if constexpr (std::is_same_v<T, float>) {
        if constexpr (Subtract)
            t = Subtract32 ? v - m.min32 : static_cast<float>(static_cast<double>(v) - m.min);
        else
            t = Multiply32 ? v * m.scale32 : static_cast<float>(static_cast<double>(v) * m.scale);
    } else {
        const double d = static_cast<double>(v);
        t = Subtract ? static_cast<float>(d - m.min) : static_cast<float>(d * m.scale);
    }
    if constexpr (Subtract) t = Multiply32 ? t * m.scale32 : static_cast<float>(static_cast<double>(t) * m.scale);
    t = t - 1.0f;
    if constexpr (Clip) t = t < -1.0f ? -1.0f : (t > 1.0f ? 1.0f : t);  // NaN stays NaN, as np.clip keeps it
    return t;
}

// Calls f(Subtract, Subtract32, Multiply32, Clip) with the Map's flags as compile-time constants
// (Subtract32 only matters for float32 values).
template <class T, class F>
inline void with_flags(const Map& m, F&& f) {
    auto pick = [](bool flag, auto&& next) {
        if (flag)
            next(std::true_type{});
        else
            next(std::false_type{});
    };
    pick(m.subtract, [&](auto subtract) {
        pick(std::is_same_v<T, float> && m.subtract32, [&](auto subtract32) {
            pick(m.multiply32,
                 [&](auto multiply32) { pick(m.clip, [&](auto clip) { f(subtract, subtract32, multiply32, clip); }); });
        });
    });
}

template <class T>
inline float map_value(T v, const Map& m) {
    float t = 0.0f;
    with_flags<T>(m, [&](auto subtract, auto subtract32, auto multiply32, auto clip) {
        t = map_element<T, subtract(), subtract32(), multiply32(), clip()>(v, m);
    });
    return t;
}

template <class T>
inline float affine_value(T v, const Affine& a) {
    return static_cast<float>(static_cast<double>(v) * a.scale + a.shift);
}

// Runs `f` with a value of the C type of `type`.
template <class F>
inline void dispatch(Type type, F&& f) {
    switch (type) {
        case Type::U8:
            return f(std::uint8_t{});
        case Type::I8:
            return f(std::int8_t{});
        case Type::U16:
            return f(std::uint16_t{});
        case Type::I16:
            return f(std::int16_t{});
        case Type::U32:
            return f(std::uint32_t{});
        case Type::I32:
            return f(std::int32_t{});
        case Type::U64:
            return f(std::uint64_t{});
        case Type::I64:
            return f(std::int64_t{});
        case Type::F32:
            return f(float{});
        case Type::F64:
            return f(double{});
    }
}

// The table of an 8-bit band: entry i is the value for the source byte i.
inline void make_table(Band& b) {
    if (size_of(b.type) != 1 || (b.op != Op::Map && b.op != Op::Affine)) return;
    for (int i = 0; i < 256; ++i) {
        const auto byte = static_cast<std::uint8_t>(i);
        if (b.type == Type::U8)
            b.table[i] = b.op == Op::Map ? map_value(byte, b.map) : affine_value(byte, b.affine);
        else {
            const auto v = static_cast<std::int8_t>(byte);
            b.table[i] = b.op == Op::Map ? map_value(v, b.map) : affine_value(v, b.affine);
        }
    }
    b.tabled = true;
}

// The image as rows of `inner` pixels: `outer` holds the sizes of the other axes (C order), and
// each band's strides are split the same way. Axes that every band can walk as one are merged.
struct Layout {
    std::vector<std::ptrdiff_t> outer;  // sizes of the outer axes
    std::ptrdiff_t inner = 1;
    std::size_t channels = 0;  // of the output
};

// Merges adjacent axes that every band walks with one stride and returns the rows layout;
// `dims` are the image's axes. Bands' strides are rewritten to the merged axes.
inline Layout plan_layout(const std::vector<std::ptrdiff_t>& dims, std::vector<Band>& bands, std::size_t channels) {
    std::vector<std::ptrdiff_t> merged;
    std::vector<std::vector<std::ptrdiff_t>> strides(bands.size());
    for (std::size_t axis = 0; axis < dims.size(); ++axis) {
        if (dims[axis] == 1) continue;
        bool joins = !merged.empty();
        for (std::size_t k = 0; k < bands.size() && joins; ++k)
            joins = strides[k].back() == bands[k].strides[axis] * dims[axis];
        if (joins) {
            merged.back() *= dims[axis];
            for (std::size_t k = 0; k < bands.size(); ++k) strides[k].back() = bands[k].strides[axis];
        } else {
            merged.push_back(dims[axis]);
            for (std::size_t k = 0; k < bands.size(); ++k) strides[k].push_back(bands[k].strides[axis]);
        }
    }
    Layout layout;
    layout.channels = channels;
    if (!merged.empty()) {
        layout.inner = merged.back();
        merged.pop_back();
    }
    layout.outer = merged;
    for (std::size_t k = 0; k < bands.size(); ++k) {
        if (strides[k].empty()) strides[k].push_back(0);
        bands[k].strides = strides[k];
    }
    return layout;
}

// Walks the rows of `layout` in C order in chunks of at most `chunk` pixels and calls
// `f(k, pointer to band k's first value, pixel index of the chunk's first pixel, count)` for every
// band k, then `done(first pixel, count)`.
template <class F, class Done>
inline void walk(const Layout& layout, const std::vector<Band>& bands, F&& f, Done&& done) {
    constexpr std::ptrdiff_t chunk = 1024;
    const std::size_t nd = layout.outer.size();
    for (std::ptrdiff_t d : layout.outer)
        if (d == 0) return;
    if (layout.inner == 0) return;
    std::vector<std::ptrdiff_t> index(nd, 0);
    std::vector<const char*> row(bands.size());
    for (std::size_t k = 0; k < bands.size(); ++k) row[k] = bands[k].data;
    std::ptrdiff_t pixel = 0;
    for (;;) {
        for (std::ptrdiff_t start = 0; start < layout.inner; start += chunk) {
            const std::ptrdiff_t count = std::min(chunk, layout.inner - start);
            for (std::size_t k = 0; k < bands.size(); ++k)
                f(k, row[k] + start * bands[k].strides.back(), pixel + start, count);
            done(pixel + start, count);
        }
        pixel += layout.inner;
        std::size_t axis = nd;
        while (axis > 0) {
            --axis;
            for (std::size_t k = 0; k < bands.size(); ++k) row[k] += bands[k].strides[axis];
            if (++index[axis] < layout.outer[axis]) break;
            for (std::size_t k = 0; k < bands.size(); ++k) row[k] -= bands[k].strides[axis] * layout.outer[axis];
            index[axis] = 0;
            if (axis == 0) return;
        }
        if (nd == 0) return;
    }
}

template <class T>
inline T swap_bytes(T v) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &v, sizeof(T));
    std::reverse(bytes, bytes + sizeof(T));
    std::memcpy(&v, bytes, sizeof(T));
    return v;
}

// Band values of one chunk in native byte order: the source itself, or a byte-swapped copy in
// `scratch` (then with stride sizeof(T)).
template <class T>
inline const char* native_values(const Band& b, const char* src, std::ptrdiff_t& step, std::ptrdiff_t count,
                                 std::vector<char>& scratch) {
    if (!b.swapped || sizeof(T) == 1) return src;
    scratch.resize(static_cast<std::size_t>(count) * sizeof(T));
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const T v = swap_bytes(load<T>(src + i * step));
        std::memcpy(scratch.data() + i * sizeof(T), &v, sizeof(T));
    }
    step = sizeof(T);
    return scratch.data();
}

// The minimum and maximum of `count` values from `p` (byte step `step`) merged into lo / hi, and
// whether one is NaN; four independent running pairs, so the comparisons need not wait for one
// another (the result does not depend on the order, NaN aside, which `nan` reports).
template <class T>
inline void extremes(const char* p, std::ptrdiff_t step, std::ptrdiff_t count, T& lo, T& hi, bool& nan) {
    T l[4] = {lo, lo, lo, lo}, h[4] = {hi, hi, hi, hi};
    bool bad = false;
    std::ptrdiff_t i = 0;
#if defined(__SSE2__)
    if constexpr (std::is_same_v<T, float>) {
        // minps / maxps return their second operand when one is NaN: a NaN never becomes an
        // extreme here, and the unordered comparison reports it.
        __m128 l4 = _mm_set1_ps(lo), h4 = _mm_set1_ps(hi), unordered = _mm_setzero_ps();
        for (; i + 4 <= count; i += 4) {
            const __m128 v = _mm_setr_ps(load<float>(p + i * step), load<float>(p + (i + 1) * step),
                                         load<float>(p + (i + 2) * step), load<float>(p + (i + 3) * step));
            l4 = _mm_min_ps(v, l4);
            h4 = _mm_max_ps(v, h4);
            unordered = _mm_or_ps(unordered, _mm_cmpunord_ps(v, v));
        }
        _mm_storeu_ps(l, l4);
        _mm_storeu_ps(h, h4);
        bad = _mm_movemask_ps(unordered) != 0;
    }
#endif
    for (; i + 4 <= count; i += 4)
        for (int j = 0; j < 4; ++j) {
            const T v = load<T>(p + (i + j) * step);
            if constexpr (std::is_floating_point_v<T>) bad |= v != v;
            l[j] = v < l[j] ? v : l[j];
            h[j] = v > h[j] ? v : h[j];
        }
    for (; i < count; ++i) {
        const T v = load<T>(p + i * step);
        if constexpr (std::is_floating_point_v<T>) bad |= v != v;
        l[0] = v < l[0] ? v : l[0];
        h[0] = v > h[0] ? v : h[0];
    }
    for (int j = 0; j < 4; ++j) {
        lo = l[j] < lo ? l[j] : lo;
        hi = h[j] > hi ? h[j] : hi;
    }
    nan = nan || bad;
}

// The minimum and maximum of each Normalize / NormalizeAffine band (NaN if a float band holds
// one, as np.min and np.max give), then the band's final operation.
inline void resolve_extremes(const Layout& layout, std::vector<Band>& bands, bool legacy_promotion) {
    struct Extremes {
        double min = 0.0, max = 0.0;
        std::int64_t imin = 0, imax = 0;
        std::uint64_t umin = 0, umax = 0;
        bool nan = false, seen = false;
    };
    std::vector<Extremes> ext(bands.size());
    bool any = false;
    for (const Band& b : bands) any = any || b.op == Op::Normalize || b.op == Op::NormalizeAffine;
    if (!any) return;
    std::vector<char> scratch;
    walk(
        layout, bands,
        [&](std::size_t k, const char* src, std::ptrdiff_t, std::ptrdiff_t count) {
            const Band& b = bands[k];
            if (b.op != Op::Normalize && b.op != Op::NormalizeAffine) return;
            Extremes& e = ext[k];
            dispatch(b.type, [&](auto zero) {
                using T = decltype(zero);
                std::ptrdiff_t step = b.strides.back();
                const char* p = native_values<T>(b, src, step, count, scratch);
                if constexpr (std::is_floating_point_v<T>) {
                    T lo = e.seen ? static_cast<T>(e.min) : load<T>(p), hi = e.seen ? static_cast<T>(e.max) : lo;
                    extremes(p, step, count, lo, hi, e.nan);
                    e.min = lo;
                    e.max = hi;
                } else if constexpr (std::is_signed_v<T>) {
                    T lo = e.seen ? static_cast<T>(e.imin) : load<T>(p), hi = e.seen ? static_cast<T>(e.imax) : lo;
                    extremes(p, step, count, lo, hi, e.nan);
                    e.imin = lo;
                    e.imax = hi;
                } else {
                    T lo = e.seen ? static_cast<T>(e.umin) : load<T>(p), hi = e.seen ? static_cast<T>(e.umax) : lo;
                    extremes(p, step, count, lo, hi, e.nan);
                    e.umin = lo;
                    e.umax = hi;
                }
            });
            e.seen = true;
        },
        [](std::ptrdiff_t, std::ptrdiff_t) {});
    for (std::size_t k = 0; k < bands.size(); ++k) {
        Band& b = bands[k];
        if (b.op != Op::Normalize && b.op != Op::NormalizeAffine) continue;
        const Extremes& e = ext[k];
        double min, max;
        if (b.type == Type::F32 || b.type == Type::F64) {
            min = e.nan ? std::numeric_limits<double>::quiet_NaN() : e.min;
            max = e.nan ? min : e.max;
        } else if (b.type == Type::U8 || b.type == Type::U16 || b.type == Type::U32 || b.type == Type::U64) {
            min = static_cast<double>(e.umin);
            max = static_cast<double>(e.umax);
        } else {
            min = static_cast<double>(e.imin);
            max = static_cast<double>(e.imax);
        }
        if (b.op == Op::NormalizeAffine) {
            b.op = Op::Affine;
            b.affine = make_affine(min, max);
        } else if (min >= max) {
            b.op = Op::Fill;
        } else {
            b.op = Op::Map;
            b.map = make_map(min, max, false, legacy_promotion);
        }
    }
}

// Bands computed together in one loop over pixels: they read sources of one type laid out alike
// (fields of one image), write the output's channels 0..n-1 in order (n at most 4) and are all
// tabled, or all Maps with the same flags.
enum class Fusion { None, Tables, Maps };

inline Fusion fusion(const std::vector<Band>& bands, std::size_t n) {
    if (bands.empty() || bands.size() != n || n > 4) return Fusion::None;
    const Band& first = bands[0];
    const Map& m = first.map;
    bool tables = true, maps = size_of(first.type) > 1;
    for (std::size_t k = 0; k < n; ++k) {
        const Band& b = bands[k];
        if (b.channel != k || b.type != first.type || b.swapped || b.strides != first.strides) return Fusion::None;
        tables = tables && b.tabled;
        maps = maps && b.op == Op::Map && b.map.subtract == m.subtract && b.map.subtract32 == m.subtract32 &&
               b.map.multiply32 == m.multiply32 && b.map.clip == m.clip;
    }
    return tables ? Fusion::Tables : maps ? Fusion::Maps : Fusion::None;
}

// out[i * n + k] = value(k, src[k] + i * step) for the pixels i of a chunk, k < n <= 4.
template <class Value>
inline void fused(std::size_t n, const char* const* src, std::ptrdiff_t step, float* out, std::ptrdiff_t count,
                  Value&& value) {
    auto loop = [&](auto bands) {
        constexpr std::size_t K = decltype(bands)::value;
        // Written out per band, so every optimisation level keeps the bands' pointers in registers.
        [&]<std::size_t... k>(std::index_sequence<k...>) {
            const char* p[K] = {src[k]...};
            for (std::ptrdiff_t i = 0; i < count; ++i)
                ((out[i * static_cast<std::ptrdiff_t>(K) + k] = value(k, p[k] + i * step)), ...);
        }
        (std::make_index_sequence<K>{});
    };
    switch (n) {
        case 1:
            return loop(std::integral_constant<std::size_t, 1>{});
        case 2:
            return loop(std::integral_constant<std::size_t, 2>{});
        case 3:
            return loop(std::integral_constant<std::size_t, 3>{});
        default:
            return loop(std::integral_constant<std::size_t, 4>{});
    }
}

// Copies `count` floats to memory that is not read again soon (the cached result): with streaming
// stores where the CPU has them, which leave the caches to the output being made.
inline void stream_copy(float* to, const float* from, std::size_t count) {
#if defined(__SSE2__)
    std::size_t i = 0;
    for (; i < count && reinterpret_cast<std::uintptr_t>(to + i) % 16 != 0; ++i) to[i] = from[i];
    for (; i + 4 <= count; i += 4) _mm_stream_ps(to + i, _mm_loadu_ps(from + i));
    for (; i < count; ++i) to[i] = from[i];
#else
    std::memcpy(to, from, count * sizeof(float));
#endif
}

// Writes every band into its channel of `out` (C order, `layout.channels` per pixel) and copies
// each finished chunk of `out` to `copy` (same layout) while it is still in cache; channels of
// no band keep what `out` holds.
inline void run(const Layout& layout, std::vector<Band>& bands, float* out, float* copy) {
    for (Band& b : bands) make_table(b);
    const std::size_t n = layout.channels;
    std::vector<char> scratch;
    const Fusion fuse = fusion(bands, n);
    const char* sources[4] = {};
    walk(
        layout, bands,
        [&](std::size_t k, const char* src, std::ptrdiff_t first, std::ptrdiff_t count) {
            if (fuse != Fusion::None) {
                sources[k] = src;
                if (k + 1 < n) return;
                float* o = out + static_cast<std::size_t>(first) * n;
                const std::ptrdiff_t step = bands[0].strides.back();
                if (fuse == Fusion::Tables) {
                    const float* tables[4] = {};
                    for (std::size_t j = 0; j < n; ++j) tables[j] = bands[j].table.data();
                    fused(n, sources, step, o, count, [&](std::size_t j, const char* p) {
                        return tables[j][*reinterpret_cast<const std::uint8_t*>(p)];
                    });
                    return;
                }
                dispatch(bands[0].type, [&](auto zero) {
                    using T = decltype(zero);
                    if constexpr (sizeof(T) > 1) {
                        Map maps[4];
                        for (std::size_t j = 0; j < n; ++j) maps[j] = bands[j].map;
                        with_flags<T>(maps[0], [&](auto subtract, auto subtract32, auto multiply32, auto clip) {
                            fused(n, sources, step, o, count, [&](std::size_t j, const char* p) {
                                return map_element<T, subtract(), subtract32(), multiply32(), clip()>(load<T>(p),
                                                                                                      maps[j]);
                            });
                        });
                    }
                });
                return;
            }
            const Band& b = bands[k];
            float* o = out + static_cast<std::size_t>(first) * n + b.channel;
            const std::ptrdiff_t step = b.strides.back();
            if (b.op == Op::Fill) {
                for (std::ptrdiff_t i = 0; i < count; ++i) o[i * n] = 0.0f;
                return;
            }
            if (b.tabled) {
                const float* table = b.table.data();
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(src);
                if (n == 1 && step == 1)
                    for (std::ptrdiff_t i = 0; i < count; ++i) o[i] = table[bytes[i]];
                else
                    for (std::ptrdiff_t i = 0; i < count; ++i) o[i * n] = table[bytes[i * step]];
                return;
            }
            dispatch(b.type, [&](auto zero) {
                using T = decltype(zero);
                std::ptrdiff_t s = step;
                const char* p = native_values<T>(b, src, s, count, scratch);
                if (b.op == Op::Affine) {
                    const Affine a = b.affine;
                    for (std::ptrdiff_t i = 0; i < count; ++i) o[i * n] = affine_value(load<T>(p + i * s), a);
                    return;
                }
                if constexpr (sizeof(T) > 1) {  // 8-bit values go through their table
                    const Map m = b.map;
                    with_flags<T>(m, [&](auto subtract, auto subtract32, auto multiply32, auto clip) {
                        for (std::ptrdiff_t i = 0; i < count; ++i)
                            o[i * n] =
                                map_element<T, subtract(), subtract32(), multiply32(), clip()>(load<T>(p + i * s), m);
                    });
                }
            });
        },
        [&](std::ptrdiff_t first, std::ptrdiff_t count) {
            if (!copy) return;
            const std::size_t offset = static_cast<std::size_t>(first) * n;
            stream_copy(copy + offset, out + offset, static_cast<std::size_t>(count) * n);
        });
#if defined(__SSE2__)
    _mm_sfence();  // the streamed copy is complete before the caller sees it
#endif
}

}  // namespace vh::bands
