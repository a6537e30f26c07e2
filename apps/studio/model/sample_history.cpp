#include "sample_history.hpp"

#include <algorithm>
#include <chrono>

namespace varek {

SampleHistory::SampleHistory(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {
    // One allocation for the whole bound; its pages are touched only as the history fills.
    slots_.reserve(capacity_);
}

void SampleHistory::push(const PowerSample& sample) {
    if (slots_.size() < capacity_) {
        slots_.push_back(sample);
        ++size_;
        return;
    }
    slots_[head_] = sample;
    head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    size_ = capacity_;
}

void SampleHistory::clear() noexcept {
    slots_.clear();
    head_ = 0;
    size_ = 0;
}

const PowerSample& SampleHistory::operator[](std::size_t index) const noexcept {
    const std::size_t slot = head_ + index;
    return slots_[slot < capacity_ ? slot : slot - capacity_];
}

std::array<std::span<const PowerSample>, 2> SampleHistory::runs() const noexcept {
    const std::span<const PowerSample> all(slots_);
    return {all.subspan(head_), all.first(head_)};
}

std::span<const PowerSample> SampleHistory::tailSince(Timestamp since, std::vector<PowerSample>& scratch) const {
    std::size_t count = 0;
    while (count < size_ && (*this)[size_ - 1 - count].time >= since) ++count;
    const auto [older, newer] = runs();
    const std::span<const PowerSample> last = newer.empty() ? older : newer;
    if (count <= last.size()) return last.last(count);
    scratch.assign(older.end() - static_cast<std::ptrdiff_t>(count - last.size()), older.end());
    scratch.insert(scratch.end(), last.begin(), last.end());
    return scratch;
}

std::optional<double> measuredRate(const SampleHistory& history, std::size_t window) {
    const std::size_t count = std::min(history.size(), window);
    if (count < 2) return std::nullopt;
    const double seconds =
        std::chrono::duration<double>(history.back().time - history[history.size() - count].time).count();
    if (!(seconds > 0)) return std::nullopt;
    return static_cast<double>(count - 1) / seconds;
}

}  // namespace varek
