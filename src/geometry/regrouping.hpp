// Grouping the keypoints of a flat list by the decimal id of their box, boxes in the order of
// their ids as strings (code points, shorter prefix first), indices ascending within a box.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vh::geometry {

// An id made of ASCII digits only, at most kMaxIdDigits of them (the ids the kernels take).
inline constexpr std::size_t kMaxIdDigits = 18;

struct DecimalId {
    // The digits d as d + 1 in base 11, left-aligned over kMaxIdDigits places: keys order as the
    // strings do, and equal keys mean equal strings.
    std::uint64_t key = 0;
    std::uint64_t value = 0;  // the integer the digits spell
    bool canonical = false;   // no leading zero, unless the id is "0": one string per value
};

inline constexpr auto kPowersOf11 = [] {
    std::array<std::uint64_t, kMaxIdDigits + 1> powers{};
    powers[0] = 1;
    for (std::size_t k = 1; k <= kMaxIdDigits; ++k) powers[k] = powers[k - 1] * 11;
    return powers;
}();

// Reads an id from `length` code points (any unsigned character type); false unless it is
// 1 to kMaxIdDigits ASCII digits.
template <class Char>
bool parse_decimal_id(const Char* text, std::size_t length, DecimalId& id) {
    if (length == 0 || length > kMaxIdDigits) return false;
    std::uint64_t key = 0, value = 0;
    for (std::size_t c = 0; c < length; ++c) {
        const auto ch = static_cast<std::uint32_t>(text[c]);
        if (ch < '0' || ch > '9') return false;
        key = key * 11 + (ch - '0' + 1);
        value = value * 10 + (ch - '0');
    }
    id = {key * kPowersOf11[kMaxIdDigits - length], value, length == 1 || text[0] != '0'};
    return true;
}

// The values 0..max in the order of their decimal strings (0, 1, 10, 100, ..., 11, ..., 2, ...).
template <class F>
void for_each_in_string_order(std::uint64_t max, F&& f) {
    f(std::uint64_t{0});
    std::uint64_t current = 1;
    for (std::uint64_t k = 0; k < max; ++k) {
        f(current);
        if (current <= max / 10) {
            current *= 10;
        } else {
            if (current >= max) current /= 10;
            ++current;
            while (current % 10 == 0) current /= 10;
        }
    }
}

// The grouping of n items: `order` lists the item indices box by box, `starts` (one entry per
// box, then n) where each box begins.
struct Groups {
    std::vector<std::uint32_t> order;
    std::vector<std::size_t> starts;

    std::size_t count() const noexcept { return starts.empty() ? 0 : starts.size() - 1; }
};

// Groups items by id in O(n log n) (sorting the keys), or in O(n + largest id) by counting
// when every id is canonical and the ids are small.
inline Groups group_by_id(const DecimalId* ids, std::size_t n) {
    Groups g;
    g.order.resize(n);
    bool small = true;
    std::uint64_t max = 0;
    for (std::size_t j = 0; j < n && small; ++j) {
        small = ids[j].canonical && ids[j].value <= 4 * static_cast<std::uint64_t>(n) + 64;
        max = std::max(max, ids[j].value);
    }
    if (n && small) {
        std::vector<std::uint32_t> slot(max + 1, 0);  // count, then first position of the box
        for (std::size_t j = 0; j < n; ++j) ++slot[ids[j].value];
        std::size_t position = 0;
        for_each_in_string_order(max, [&](std::uint64_t v) {
            if (!slot[v]) return;
            g.starts.push_back(position);
            position += std::exchange(slot[v], static_cast<std::uint32_t>(position));
        });
        g.starts.push_back(n);
        for (std::size_t j = 0; j < n; ++j) g.order[slot[ids[j].value]++] = static_cast<std::uint32_t>(j);
        return g;
    }
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(n);
    for (std::size_t j = 0; j < n; ++j) keyed[j] = {ids[j].key, static_cast<std::uint32_t>(j)};
    std::sort(keyed.begin(), keyed.end());
    for (std::size_t j = 0; j < n; ++j) {
        if (j == 0 || keyed[j].first != keyed[j - 1].first) g.starts.push_back(j);
        g.order[j] = keyed[j].second;
    }
    g.starts.push_back(n);
    return g;
}

}  // namespace vh::geometry
