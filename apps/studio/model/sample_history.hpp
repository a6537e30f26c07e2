#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "varek/device.hpp"

namespace varek {

/// The newest samples up to a fixed capacity, oldest first. Pushing onto a full
/// history overwrites the oldest sample in constant time; nothing ever shifts.
class SampleHistory {
public:
    /// Holds at most `capacity` samples (at least one); reserves that much at once.
    explicit SampleHistory(std::size_t capacity);

    /// Appends `sample`, dropping the oldest when full.
    void push(const PowerSample& sample);
    /// Forgets every sample; the capacity and its storage stay.
    void clear() noexcept;

    /// Samples held.
    std::size_t size() const noexcept { return size_; }
    /// True when no sample is held.
    bool empty() const noexcept { return size_ == 0; }
    /// The most samples held at once.
    std::size_t capacity() const noexcept { return capacity_; }
    /// The sample at `index` in time order (0 = oldest); requires `index < size()`.
    const PowerSample& operator[](std::size_t index) const noexcept;
    /// The oldest sample; requires a non-empty history.
    const PowerSample& front() const noexcept { return (*this)[0]; }
    /// The newest sample; requires a non-empty history.
    const PowerSample& back() const noexcept { return (*this)[size_ - 1]; }

    /// Every sample in time order as two contiguous runs: the older part, then the
    /// newer part (the second is empty until the history wraps).
    std::array<std::span<const PowerSample>, 2> runs() const noexcept;
    /// The trailing run of samples taken at or after `since` (the walk stops at the
    /// first older one), oldest first, in one piece: a view into the history unless
    /// the run straddles the wrap, else a copy made in `scratch`.
    std::span<const PowerSample> tailSince(Timestamp since, std::vector<PowerSample>& scratch) const;

private:
    std::vector<PowerSample> slots_;  // grows to the capacity, then is overwritten in place
    std::size_t capacity_;
    std::size_t head_ = 0;  // slot of the oldest sample
    std::size_t size_ = 0;
};

/// Samples per second over the newest `window` samples (at least two, spread over a
/// positive time); none otherwise.
std::optional<double> measuredRate(const SampleHistory& history, std::size_t window = 21);

}  // namespace varek
