#include "boolmat/interrupt.hpp"

namespace boolmat {

namespace {

// The clock is read about this often: at 20 to 40 ns a read, that is a few
// parts in 10^5 of the work.
constexpr std::chrono::nanoseconds kReadEvery = std::chrono::microseconds(500);
constexpr std::uint64_t kMaxBudget = std::uint64_t{1} << 40;

}  // namespace

Interrupt::Interrupt(Ask ask, void* context, std::chrono::nanoseconds interval) noexcept
    : ask_(ask), context_(context), interval_(interval), read_(Clock::now()), asked_(read_) {}

bool Interrupt::slow_poll() const noexcept {
    if (stopped_) {
        left_ = 0;
        return true;
    }
    const Clock::time_point now = Clock::now();
    // Scale the budget so the next read comes about kReadEvery after this
    // one: doubled at most when the units were cheap, cut in proportion at
    // once when they were dear.
    const auto took = now - read_;
    if (took < kReadEvery / 2) {
        if (budget_ < kMaxBudget) budget_ *= 2;
    } else if (took > kReadEvery * 2) {
        const auto ratio = static_cast<std::uint64_t>(took / kReadEvery);
        budget_ = budget_ / ratio > 0 ? budget_ / ratio : 1;
    }
    read_ = now;
    left_ = budget_;
    if (now - asked_ >= interval_) {
        asked_ = now;
        stopped_ = ask_(context_);
    }
    return stopped_;
}

}  // namespace boolmat
