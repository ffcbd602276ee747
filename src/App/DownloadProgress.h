#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The words under the join page while the support application downloads.
class DownloadProgress {
  public:
    // "Downloading the support application: 12 of 40 MB" (or "... 12 MB" when the size is
    // unknown).
    static std::string describe(std::uint64_t received, std::optional<std::uint64_t> expected);
    // 0 to 1, nullopt when the size is unknown.
    static std::optional<double> fraction(std::uint64_t received,
                                          std::optional<std::uint64_t> expected);
    // Megabytes for people: one decimal below 10 MB, whole numbers above.
    static std::string megabytes(std::uint64_t bytes);
};
