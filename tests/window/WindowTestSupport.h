#pragma once

// Helpers for the window tests that run GTK and the web view inside the test process.
#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "TempHome.h"

namespace window_test {

// Runs the main loop until the condition holds or the time is up; the last answer is returned.
template <typename Condition>
bool pumpUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// Keeps the main loop running for a while (to see that something does NOT happen).
inline void pumpFor(std::chrono::milliseconds duration) {
    pumpUntil([] { return false; }, duration);
}

// What the process writes on one of its standard streams while the capture lives: standard
// output (1) carries the application classes' lines, standard error (2) the service classes'.
class OutputCapture {
  public:
    OutputCapture(int fd, std::string file) : fd_(fd), file_(std::move(file)) {
        std::fflush(nullptr);
        saved_ = ::dup(fd_);
        const int out = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(out, fd_);
        ::close(out);
    }
    ~OutputCapture() {
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
    }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    std::string text() const {
        std::fflush(nullptr);
        return readText(file_);
    }
    // How often the piece occurs in what was written so far.
    int count(const std::string& piece) const {
        const std::string all = text();
        int found = 0;
        for (auto at = all.find(piece); at != std::string::npos; at = all.find(piece, at + 1)) {
            ++found;
        }
        return found;
    }

  private:
    int fd_;
    std::string file_;
    int saved_ = -1;
};

}  // namespace window_test
