#include "Handlers/HandOverStatus.h"

#include <utility>

#include "Platform/ExceptionGuard.h"
#include "Platform/Log.h"

namespace {
constexpr const char* kOperation = "HandOverStatus";
}

HandOverStatus& HandOverStatus::shared() {
    // Never released: a hand-over may still report while the process ends.
    static auto* instance = new HandOverStatus();
    return *instance;
}

HandOverStatus::State HandOverStatus::statusFor(Stage stage) {
    switch (stage) {
        case Stage::checking:
            return {stage, std::nullopt, "Checking the support application…"};
        case Stage::downloading:
            return {stage, std::nullopt, "Downloading the support application…"};
        case Stage::installing:
            return {stage, std::nullopt, "Installing the support application…"};
        case Stage::starting:
            return {stage, std::nullopt, "Starting the support application…"};
        case Stage::running:
            return {stage, std::nullopt, "The support application is running."};
        case Stage::failed:
            break;
    }
    return statusFor(Failure::cannotStart);
}

HandOverStatus::State HandOverStatus::statusFor(Failure failure) {
    const auto failed = [failure](std::string text, bool canRetry = true) {
        return State{Stage::failed, failure, std::move(text), canRetry};
    };
    switch (failure) {
        case Failure::refusedJoin:
            return failed(
                "The session details were not accepted. Check the session key and join "
                "again.",
                false);
        case Failure::checkFailed:
            return failed(
                "The support service could not be reached. Check the connection and try "
                "again.");
        case Failure::downloadFailed:
            return failed(
                "The support application could not be downloaded. Check the connection "
                "and try again.");
        case Failure::notGenuine:
            return failed(
                "The downloaded support application is not genuine and was not "
                "installed. Try again; if it happens again, tell your support "
                "technician.");
        case Failure::diskFull:
            return failed(
                "The support application could not be installed: the disk is full. Free "
                "some space and try again.");
        case Failure::cannotSave:
            return failed(
                "The support application could not be saved on this computer. Try "
                "again.");
        case Failure::cannotOpen:
            return failed(
                "The support application could not be opened. Try again; if it happens "
                "again, tell your support technician.");
        case Failure::cannotInstall:
            return failed(
                "The support application could not be installed. Close it if it is "
                "open, then try again.");
        case Failure::cannotStart:
            return failed("The support application could not be started. Try again.");
    }
    return failed("The support application could not be started. Try again.");
}

void HandOverStatus::report(Stage stage) {
    publish(statusFor(stage));
}

void HandOverStatus::fail(Failure failure) {
    publish(statusFor(failure));
}

void HandOverStatus::setObserver(std::weak_ptr<Observer> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void HandOverStatus::reset() {
    std::lock_guard lock(mutex_);
    observer_.reset();
    current_.reset();
}

std::optional<HandOverStatus::State> HandOverStatus::current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

void HandOverStatus::publish(State status) {
    platform::Log::nslog("{} : {}", kOperation, status.text);
    std::shared_ptr<Observer> observer;
    {
        std::lock_guard lock(mutex_);
        current_ = status;
        observer = observer_.lock();
    }
    if (observer) {
        platform::ExceptionGuard::run(kOperation, [&] { observer->handOverStatusChanged(status); });
    }
}
