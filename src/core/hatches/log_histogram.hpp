// A histogram of positive magnitudes on a logarithmic scale, with the sum of
// the values in each bin: the labeller's way to find typical sizes (the
// median second difference, the mark step) in one pass without sorting.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace rastermark::hatches {

class LogHistogram {
public:
    // 32 bins per factor of two (2.2% wide), from 2^-200 to 2^200; values
    // beyond fall into the end bins.
    static constexpr int per_octave = 32;
    static constexpr int lowest_exponent = -200;
    static constexpr int octaves = 400;
    static constexpr int bins = per_octave * octaves;

    LogHistogram() : counts_(bins, 0), sums_(bins, 0.0) {}

    // Counts a value; zero, negative and NaN values count as zeros, +inf
    // in the top bin.
    void add(double value) {
        if (!(value > 0)) {
            ++zeros_;
            return;
        }
        int bin = bin_of(value);
        ++counts_[static_cast<std::size_t>(bin)];
        sums_[static_cast<std::size_t>(bin)] += value;
        ++positive_;
    }

    void merge(const LogHistogram& other) {
        for (int b = 0; b < bins; ++b) {
            counts_[static_cast<std::size_t>(b)] += other.counts_[static_cast<std::size_t>(b)];
            sums_[static_cast<std::size_t>(b)] += other.sums_[static_cast<std::size_t>(b)];
        }
        zeros_ += other.zeros_;
        positive_ += other.positive_;
    }

    // The bin of a positive value, from its bits: the exponent picks the
    // octave, the top five bits of the fraction the bin within it (the
    // same as frexp's fraction (f - 0.5) * 64, without a library call).
    static int bin_of(double value) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        int biased = static_cast<int>((bits >> 52) & 0x7ff);
        if (biased == 0x7ff) return bins - 1;  // infinity (NaN never gets here)
        if (biased == 0) return 0;              // subnormal: far below any scale of interest
        int octave = biased - 1022 - lowest_exponent;
        if (octave < 0) return 0;
        if (octave >= octaves) return bins - 1;
        return octave * per_octave + static_cast<int>((bits >> 47) & 0x1f);
    }

    // The middle of a bin.
    static double centre(int bin) {
        int octave = bin / per_octave, sub = bin % per_octave;
        return std::ldexp(0.5 + (sub + 0.5) / (2.0 * per_octave), octave + lowest_exponent);
    }

    std::uint64_t count(int bin) const { return counts_[static_cast<std::size_t>(bin)]; }
    double sum(int bin) const { return sums_[static_cast<std::size_t>(bin)]; }
    std::uint64_t zeros() const { return zeros_; }
    std::uint64_t positive() const { return positive_; }

    // The value below which `share` of all values (zeros included) lie, to
    // the bin; 0 when the zeros reach it.
    double quantile(double share) const {
        double wanted = share * static_cast<double>(zeros_ + positive_);
        double seen = static_cast<double>(zeros_);
        if (seen >= wanted) return 0.0;
        for (int b = 0; b < bins; ++b) {
            seen += static_cast<double>(counts_[static_cast<std::size_t>(b)]);
            if (seen >= wanted) return centre(b);
        }
        return centre(bins - 1);
    }

    // The lowest bin that holds at least `share` of the positive values, or
    // -1 where none does.
    int lowest_bin_holding(double share) const {
        double wanted = share * static_cast<double>(positive_);
        for (int b = 0; b < bins; ++b) {
            if (counts_[static_cast<std::size_t>(b)] > 0 &&
                static_cast<double>(counts_[static_cast<std::size_t>(b)]) >= wanted) {
                return b;
            }
        }
        return -1;
    }

private:
    std::vector<std::uint64_t> counts_;
    std::vector<double> sums_;
    std::uint64_t zeros_ = 0;
    std::uint64_t positive_ = 0;
};

}  // namespace rastermark::hatches
