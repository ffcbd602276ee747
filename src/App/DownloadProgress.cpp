#include "App/DownloadProgress.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kMegabyte = 1000.0 * 1000.0;

}  // namespace

std::string DownloadProgress::megabytes(std::uint64_t bytes) {
    const double value = static_cast<double>(bytes) / kMegabyte;
    if (value < 9.95) {
        const std::string text = fmt::format("{:.1f}", value);
        // "3.0" reads better as "3".
        return text.ends_with(".0") ? text.substr(0, text.size() - 2) : text;
    }
    return fmt::format("{:.0f}", std::round(value));
}

std::string DownloadProgress::describe(std::uint64_t received,
                                       std::optional<std::uint64_t> expected) {
    if (!expected || *expected == 0) {
        return fmt::format("Downloading the support application: {} MB", megabytes(received));
    }
    return fmt::format("Downloading the support application: {} of {} MB",
                       megabytes(std::min(received, *expected)), megabytes(*expected));
}

std::optional<double> DownloadProgress::fraction(std::uint64_t received,
                                                 std::optional<std::uint64_t> expected) {
    if (!expected || *expected == 0) return std::nullopt;
    return std::clamp(static_cast<double>(received) / static_cast<double>(*expected), 0.0, 1.0);
}
