#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/UrlSession.h"

// The end of a disk image's download. A transfer that failed, or an answer that is not the
// image, is logged and announced for a retry; a good image is copied beside its place and renamed
// into it, so that the place never holds half an image.
struct ImageDownload {
    enum class Outcome {
        failed,     // the transfer failed
        notImage,   // the server answered with a status other than 2xx
        notPlaced,  // the image could not be put at its place
        placed,     // the image is at its place, whole
    };

    std::string_view operation{};  // the completion's qualified name, for the log lines
    std::string address{};         // the address asked
    std::string destination{};     // where the image goes
    const void* sender = nullptr;  // who announces the retry
    // What ends the first failure line; the launcher's own update ends it with a blank.
    std::string_view failureLineEnd = "";

    // Logs and announces a failure, or puts the image at its place; says which it was.
    Outcome finish(const std::optional<std::filesystem::path>& file,
                   const std::optional<platform::UrlResponse>& response,
                   std::optional<platform::UrlError> error) const;
};
