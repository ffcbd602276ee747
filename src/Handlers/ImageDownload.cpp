#include "Handlers/ImageDownload.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>

#include "Platform/Error.h"
#include "Platform/FileManager.h"
#include "Platform/Log.h"
#include "Platform/NotificationCenter.h"

namespace {

constexpr const char* kRetryNotification = "RetryDMGDownloadig";

// A status other than 2xx means the body is not the image.
std::optional<platform::UrlError> statusError(const std::optional<platform::UrlResponse>& response,
                                              const std::string& address) {
    const long status = response ? response->statusCode : 0;
    if (status >= 200 && status < 300) return std::nullopt;
    return platform::UrlError{"NSURLErrorDomain", -1011,
                              fmt::format("The server answered with HTTP status code {}.", status),
                              response && !response->url.empty() ? response->url : address};
}

// Puts the downloaded file at the destination only once it is there whole: it is copied beside
// the destination and renamed into place.
std::optional<platform::Error> placeDownload(const std::filesystem::path& downloaded,
                                             const std::string& destination) {
    const auto& files = platform::FileManager::defaultManager();
    const std::string partial = destination + ".part";
    if (files.fileExists(destination)) files.removeItem(destination);
    if (files.fileExists(partial)) files.removeItem(partial);
    if (auto error = files.copyItem(downloaded.string(), partial)) return error;
    if (std::rename(partial.c_str(), destination.c_str()) != 0) {
        auto error = platform::Error::posix(errno, destination);
        files.removeItem(partial);
        return error;
    }
    return std::nullopt;
}

}  // namespace

ImageDownload::Outcome ImageDownload::finish(const std::optional<std::filesystem::path>& file,
                                             const std::optional<platform::UrlResponse>& response,
                                             std::optional<platform::UrlError> error) const {
    bool notImage = false;
    if (!error) {
        error = statusError(response, address);
        notImage = error.has_value();
    }
    if (error) {
        platform::Log::nslog("{} : Download failed! Error - {} {}{}", operation,
                             error->localizedDescription, error->failingUrl, failureLineEnd);
        platform::Log::nslog("{} : Download failed! Whole Error - {}", operation,
                             error->printedForm());
        platform::NotificationCenter::defaultCenter().post(kRetryNotification, sender);
        return notImage ? Outcome::notImage : Outcome::failed;
    }
    const auto copied =
        file ? placeDownload(*file, destination) : platform::Error::posix(ENOENT, destination);
    if (copied) {
        platform::Log::nslog("{} : Error copying file to destination - {}", operation,
                             copied->printedForm());
        return Outcome::notPlaced;
    }
    platform::Log::nslog("{} : Download finished successfully", operation);
    return Outcome::placed;
}
