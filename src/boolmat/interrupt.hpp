// A caller's way to stop a long computation. The computation polls at the
// boundaries of its blocks of work (a column, a chunk of a table, a band of
// rows), never inside the vector loops; the caller's function is asked at
// most once per interval of time, and the clock itself is read only every
// so many units of work, so that polling costs nothing measurable. Once the
// function has said stop, every later poll says so too, and the
// computation returns stopped() with its arguments untouched.
#pragma once

#include <chrono>
#include <cstdint>

#include "boolmat/failure.hpp"

namespace boolmat {

class Interrupt {
public:
    // True: stop now. Called on the computing thread, between blocks.
    using Ask = bool (*)(void* context) noexcept;

    // How often the function is asked, at most. The frame's function takes
    // the interpreter lock, which a thread running Python code holds for up
    // to its switch interval (5 ms): often enough to answer Ctrl-C at once,
    // rarely enough that such a wait costs at most a tenth.
    static constexpr std::chrono::nanoseconds kInterval = std::chrono::milliseconds(50);

    // Never stops; a poll is one compare.
    constexpr Interrupt() noexcept = default;
    Interrupt(Ask ask, void* context, std::chrono::nanoseconds interval = kInterval) noexcept;
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    // Counts `work` units done since the last poll; true once stopped. A
    // unit is about a word of memory read or written: the estimate only
    // decides how often the clock is read, which adapts to what the units
    // really cost, so a rough one costs neither correctness nor time.
    [[nodiscard]] bool poll(std::uint64_t work = 1) const noexcept {
        if (ask_ == nullptr) return false;
        if (work < left_) {
            left_ -= work;
            return false;
        }
        return slow_poll();
    }

    bool stopped() const noexcept { return stopped_; }

    // poll() as a Status: stopped() once stopped.
    Status check(std::uint64_t work = 1) const;

private:
    using Clock = std::chrono::steady_clock;

    bool slow_poll() const noexcept;

    Ask ask_ = nullptr;
    void* context_ = nullptr;
    std::chrono::nanoseconds interval_{};
    // Polling state: one thread polls one Interrupt, and polling does not
    // change what it answers, only how often it looks.
    mutable std::uint64_t left_ = 0;    // units until the next clock read
    mutable std::uint64_t budget_ = 1;  // units between clock reads
    mutable Clock::time_point read_{};  // last clock read
    mutable Clock::time_point asked_{};  // last ask (or construction)
    mutable bool stopped_ = false;
};

// The failure of a computation its caller stopped.
[[nodiscard]] inline std::unexpected<Failure> stopped() { return fail(ErrorKind::Stopped, ""); }

inline Status Interrupt::check(std::uint64_t work) const {
    if (poll(work)) return boolmat::stopped();
    return {};
}

}  // namespace boolmat
