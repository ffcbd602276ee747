#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// What the customer is told about the hand-over of a session to the support application, from
// the moment a join is accepted until the application runs or the hand-over fails. The handlers
// report each stage here; the window listens through the observer (the handlers know no toolkit,
// the window shows what it hears). Every status is also one line of the log, so that support
// staff can read what the customer saw.
class HandOverStatus {
  public:
    enum class Stage { checking, downloading, installing, starting, running, failed };
    // Why a hand-over failed: each failure road has its own words.
    enum class Failure {
        refusedJoin,     // the page's join details were refused
        checkFailed,     // the service did not answer the agent check
        downloadFailed,  // the image did not arrive
        notGenuine,      // the image is not the service's (its signature)
        diskFull,        // the image, or the application, could not be stored: no space left
        cannotSave,      // the image could not be stored for another reason
        cannotOpen,      // the image could not be mounted
        cannotInstall,   // the application could not be put in place (or the old one removed)
        cannotStart,     // the application would not start
    };

    struct State {
        Stage stage = Stage::checking;
        std::optional<Failure> failure;
        std::string text;
        // Whether running the hand-over again for the same session can help (a refused join
        // needs the page to send it again).
        bool canRetry = false;
    };

    class Observer {
      public:
        virtual ~Observer() = default;
        // Called on the thread that reports, once per status.
        virtual void handOverStatusChanged(const State& status) = 0;
    };

    static HandOverStatus& shared();

    void report(Stage stage);
    void fail(Failure failure);

    // The window listens while it lives (the status does not keep it alive).
    void setObserver(std::weak_ptr<Observer> observer);
    // The last status reported; nothing before the first hand-over.
    std::optional<State> current() const;
    // No status and no observer, as at start.
    void reset();

    // The words the customer reads.
    static State statusFor(Stage stage);
    static State statusFor(Failure failure);

    HandOverStatus(const HandOverStatus&) = delete;
    HandOverStatus& operator=(const HandOverStatus&) = delete;

  private:
    HandOverStatus() = default;
    void publish(State status);

    mutable std::mutex mutex_;
    std::weak_ptr<Observer> observer_;
    std::optional<State> current_;
};
