#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Error.h"
#include "Platform/ImageSignature.h"
#include "Platform/UrlSession.h"

// The download of a disk image, to its place, whole and signed by the service. The transfer
// resumes after breaks; then the image's detached signature (its address followed by ".minisig")
// is fetched and checked against the key in the launcher's bundle. The image waits beside its
// place until the check holds and is then renamed into it, so that the place never holds half an
// image or one the service did not sign. A transfer that failed, an answer that is not the image,
// a refused image and one that could not be put in place are logged and announced for a retry.
struct ImageDownload {
    enum class Outcome {
        failed,     // the transfer failed
        notImage,   // the server answered with a status other than 2xx
        noSpace,    // the image could not be put at its place: no room left on the disk
        notPlaced,  // the image could not be put at its place for another reason
        refused,    // the image's signature is missing or does not hold
        placed,     // the image is at its place, whole and signed
    };

    // The waits before the second to fifth attempts of an image's transfer.
    static constexpr std::chrono::milliseconds kResumeWaits[] = {
        std::chrono::seconds(1), std::chrono::seconds(2), std::chrono::seconds(4),
        std::chrono::seconds(8)};

    std::string_view operation{};  // the completion's qualified name, for the log lines
    std::string address{};         // the address asked
    std::string destination{};     // where the image goes
    // The image's name as the launcher knows it ("KeloMac.dmg"): its signature's trusted comment
    // must carry it, so that one signed image cannot stand in for the other.
    std::string_view imageName{};
    const void* sender = nullptr;  // who announces the retry
    // What ends the first failure line; the launcher's own update ends it with a blank.
    std::string_view failureLineEnd = "";

    // Sends `request` (its address is `address`) and runs `done` on the URL session's queue with
    // the outcome, once failures are logged and announced.
    void start(platform::UrlRequest request, std::function<void(Outcome)> done) const;

    // Test hook: other waits between attempts (the launcher always uses kResumeWaits); nullopt
    // puts those back.
    static void setResumeWaitsForTesting(
        std::optional<std::vector<std::chrono::milliseconds>> waits);

  private:
    // Logs and announces a failed transfer, or puts the image beside its place: nullopt then.
    std::optional<Outcome> finishTransfer(const std::optional<std::filesystem::path>& file,
                                          const std::optional<platform::UrlResponse>& response,
                                          std::optional<platform::UrlError> error) const;
    // Renames the image into its place when its signature holds; deletes it when not.
    Outcome checkSignature(const std::string& signature,
                           const std::optional<platform::UrlResponse>& response,
                           const std::optional<platform::UrlError>& error,
                           const platform::ImageSignature::Prehash& arrived) const;
    void announceFailure(const platform::UrlError& error) const;
    // Logs an image that arrived but could not be put in place and announces the retry.
    Outcome notPlacedBecause(const platform::Error& failure) const;
};
