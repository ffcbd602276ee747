#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The words under the join page while the support agent downloads.
class DownloadProgress {
  public:
    // "Downloading the support agent: 12 of 40 MB" (or "... 12 MB" when the size is unknown).
    static std::string describe(std::uint64_t received, std::optional<std::uint64_t> expected);
    // Shown once the image is in, while it is installed and started.
    static std::string starting();
    // The one sentence shown when the download failed.
    static std::string failed();
    // 0 to 1, nullopt when the size is unknown.
    static std::optional<double> fraction(std::uint64_t received,
                                          std::optional<std::uint64_t> expected);
    // Megabytes for people: one decimal below 10 MB, whole numbers above.
    static std::string megabytes(std::uint64_t bytes);
};
