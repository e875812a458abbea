// One run's cap on the bytes it receives each second, shared by all of its connections.
#include "net/rate_limit.hpp"

#include <algorithm>

namespace upd {

namespace {

constexpr std::uint64_t ns_per_second = 1000000000;

}  // namespace

constexpr std::uint64_t rate_limit_t::lowest;
constexpr std::uint64_t rate_limit_t::highest;

boost::optional<std::uint64_t> rate_limit_t::parse(const std::string& text) {
    std::size_t digits = 0;
    std::uint64_t n = 0;
    // Eleven digits already exceed the highest rate in bytes: stop before the number overflows.
    while (digits < text.size() && digits < 11 && text[digits] >= '0' && text[digits] <= '9')
        n = n * 10 + static_cast<std::uint64_t>(text[digits++] - '0');
    if (digits == 0) return boost::none;
    const std::string suffix = text.substr(digits);
    if (suffix == "k")
        n <<= 10;
    else if (suffix == "M")
        n <<= 20;
    else if (!suffix.empty())
        return boost::none;
    if (n < lowest || n > highest) return boost::none;
    return n;
}

rate_limit_t::rate_limit_t(std::uint64_t bytes_per_second, clock::time_point now)
    : rate_(std::min(std::max(bytes_per_second, lowest), highest)), filled_at_(now) {}

void rate_limit_t::refill(clock::time_point now) {
    if (now <= filled_at_) return;
    const auto elapsed =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - filled_at_).count());
    // A second or more fills the bucket; below, rate (< 2^31) times nanoseconds (< 2^30) fits.
    const std::uint64_t added = elapsed >= ns_per_second ? rate_ : rate_ * elapsed / ns_per_second;
    if (added == 0) return;  // keep the fraction for the next call
    tokens_ = std::min(rate_, tokens_ + added);
    filled_at_ = elapsed >= ns_per_second ? now : filled_at_ + std::chrono::nanoseconds(added * ns_per_second / rate_);
}

std::size_t rate_limit_t::reserve(std::size_t wanted, clock::time_point now, clock::time_point& until) {
    const std::lock_guard<std::mutex> lock(mutex_);
    refill(now);
    // An eighth of a second's worth, at least 1 KiB: few system calls, yet a steady flow.
    const std::uint64_t share = std::min<std::uint64_t>(wanted, std::max<std::uint64_t>(1024, rate_ / 8));
    if (tokens_ >= share) {
        const std::uint64_t granted = std::min<std::uint64_t>(wanted, tokens_);
        tokens_ -= granted;
        return static_cast<std::size_t>(granted);
    }
    const std::uint64_t missing = share - tokens_;
    until = filled_at_ + std::chrono::nanoseconds((missing * ns_per_second + rate_ - 1) / rate_);
    return 0;
}

void rate_limit_t::refund(std::size_t n) {
    const std::lock_guard<std::mutex> lock(mutex_);
    tokens_ = std::min(rate_, tokens_ + n);
}

}  // namespace upd
