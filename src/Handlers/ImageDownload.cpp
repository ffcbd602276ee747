#include "Handlers/ImageDownload.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>

#include "Platform/Bundle.h"
#include "Platform/Error.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/FileManager.h"
#include "Platform/Log.h"
#include "Platform/NotificationCenter.h"

namespace {

constexpr const char* kRetryNotification = "RetryDMGDownloadig";
constexpr const char* kPublicKey = "KeloImagePublicKey";

std::mutex waitsMutex;
std::optional<std::vector<std::chrono::milliseconds>> waitsForTesting;

std::vector<std::chrono::milliseconds> resumeWaits() {
    std::lock_guard lock(waitsMutex);
    if (waitsForTesting) return *waitsForTesting;
    return {std::begin(ImageDownload::kResumeWaits), std::end(ImageDownload::kResumeWaits)};
}

// The image's address followed by ".minisig"; a query or fragment stays at the end.
std::string signatureAddress(const std::string& address) {
    const auto end = std::min(address.find('?'), address.find('#'));
    if (end == std::string::npos) return address + ".minisig";
    return address.substr(0, end) + ".minisig" + address.substr(end);
}

bool isSuccess(const std::optional<platform::UrlResponse>& response) {
    return response && response->statusCode >= 200 && response->statusCode < 300;
}

// A status other than 2xx means the body is not the image.
std::optional<platform::UrlError> statusError(const std::optional<platform::UrlResponse>& response,
                                              const std::string& address) {
    if (isSuccess(response)) return std::nullopt;
    const long status = response ? response->statusCode : 0;
    return platform::UrlError{"NSURLErrorDomain", -1011,
                              fmt::format("The server answered with HTTP status code {}.", status),
                              response && !response->url.empty() ? response->url : address};
}

std::string partialPath(const std::string& destination) {
    return destination + ".part";
}

// Puts the downloaded file beside its place, where it waits for its signature's check: a second
// name for it on the same file system (the session removes its own name), else a copy.
std::optional<platform::Error> stage(const std::filesystem::path& downloaded,
                                     const std::string& destination) {
    const auto& files = platform::FileManager::defaultManager();
    const std::string partial = partialPath(destination);
    if (files.fileExists(destination)) files.removeItem(destination);
    if (files.fileExists(partial)) files.removeItem(partial);
    if (!files.linkItem(downloaded.string(), partial)) return std::nullopt;
    return files.copyItem(downloaded.string(), partial);
}

// The key the service signs its images with, from the running launcher's own bundle.
std::string trustedKey() {
    const auto key = platform::Bundle::main().objectForInfoDictionaryKey(kPublicKey);
    const std::string* text = key ? key->asString() : nullptr;
    return text ? *text : std::string();
}

}  // namespace

void ImageDownload::setResumeWaitsForTesting(
    std::optional<std::vector<std::chrono::milliseconds>> waits) {
    std::lock_guard lock(waitsMutex);
    waitsForTesting = std::move(waits);
}

void ImageDownload::start(platform::UrlRequest request, std::function<void(Outcome)> done) const {
    request.url = address;
    platform::UrlRequest signatureRequest = request;
    signatureRequest.url = signatureAddress(address);
    request.resumeWaits = resumeWaits();
    // The image's digest is taken as its bytes arrive: the check then need not read it again.
    auto arrived = std::make_shared<platform::ImageSignature::Prehash>();
    request.bodyObserver = [arrived](std::uint64_t offset, std::string_view bytes) {
        arrived->add(offset, bytes);
    };
    platform::UrlSession::shared().downloadTask(
        std::move(request),
        [download = *this, signatureRequest = std::move(signatureRequest), arrived,
         done = std::move(done)](std::optional<std::filesystem::path> file,
                                 std::optional<platform::UrlResponse> response,
                                 std::optional<platform::UrlError> error) {
            platform::ExceptionGuard::run(download.operation, [&] {
                if (const auto outcome =
                        download.finishTransfer(file, response, std::move(error))) {
                    return done(*outcome);
                }
                platform::UrlSession::shared().dataTask(
                    signatureRequest,
                    [download, arrived, done](std::string signature,
                                              std::optional<platform::UrlResponse> answer,
                                              std::optional<platform::UrlError> failure) {
                        platform::ExceptionGuard::run(download.operation, [&] {
                            done(download.checkSignature(signature, answer, failure, *arrived));
                        });
                    });
            });
        });
}

std::optional<ImageDownload::Outcome> ImageDownload::finishTransfer(
    const std::optional<std::filesystem::path>& file,
    const std::optional<platform::UrlResponse>& response,
    std::optional<platform::UrlError> error) const {
    bool notImage = false;
    if (!error) {
        error = statusError(response, address);
        notImage = error.has_value();
    }
    if (error) {
        announceFailure(*error);
        return notImage ? Outcome::notImage : Outcome::failed;
    }
    const auto copied =
        file ? stage(*file, destination) : platform::Error::posix(ENOENT, destination);
    if (copied) return notPlacedBecause(*copied);
    return std::nullopt;
}

ImageDownload::Outcome ImageDownload::checkSignature(
    const std::string& signature, const std::optional<platform::UrlResponse>& response,
    const std::optional<platform::UrlError>& error,
    const platform::ImageSignature::Prehash& arrived) const {
    const auto& files = platform::FileManager::defaultManager();
    const std::string partial = partialPath(destination);
    std::string refusal;
    if (error) {
        refusal = fmt::format("no signature could be fetched from {} ({})", error->failingUrl,
                              error->localizedDescription);
    } else if (!isSuccess(response)) {
        refusal = fmt::format("no signature at {} (HTTP status {})", signatureAddress(address),
                              response ? response->statusCode : 0);
    } else {
        const auto verdict =
            platform::ImageSignature::check(partial, signature, trustedKey(), imageName, &arrived);
        if (verdict != platform::ImageSignature::Verdict::genuine) {
            refusal = platform::ImageSignature::describe(verdict);
        }
    }
    if (!refusal.empty()) {
        platform::Log::nslog("{} : Image refused, {} : {}", operation, refusal, address);
        files.removeItem(partial);
        announceFailure({"KeloImageSignatureErrorDomain", 1,
                         "The disk image is not signed by the service.", address});
        return Outcome::refused;
    }
    if (std::rename(partial.c_str(), destination.c_str()) != 0) {
        const auto failure = platform::Error::posix(errno, destination);
        files.removeItem(partial);
        return notPlacedBecause(failure);
    }
    platform::Log::nslog("{} : Download finished successfully", operation);
    return Outcome::placed;
}

ImageDownload::Outcome ImageDownload::notPlacedBecause(const platform::Error& failure) const {
    platform::Log::nslog("{} : Error copying file to destination - {}", operation,
                         failure.printedForm());
    platform::NotificationCenter::defaultCenter().post(kRetryNotification, sender);
    return failure.code == ENOSPC ? Outcome::noSpace : Outcome::notPlaced;
}

void ImageDownload::announceFailure(const platform::UrlError& error) const {
    platform::Log::nslog("{} : Download failed! Error - {} {}{}", operation,
                         error.localizedDescription, error.failingUrl, failureLineEnd);
    platform::Log::nslog("{} : Download failed! Whole Error - {}", operation, error.printedForm());
    platform::NotificationCenter::defaultCenter().post(kRetryNotification, sender);
}
