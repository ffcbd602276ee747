#pragma once

#include <functional>
#include <string>

// The client of the service's HTTPS API: the agent update check, the launcher update check and
// the data-centre lookup from a session key. Answers go into SessionDetails; callers learn only
// success or failure.
class ApiHandler {
  public:
    using Completion = std::function<void(bool)>;

    static ApiHandler& getInstance();

    // The completion runs exactly once, later, on the URL session's queue.
    void checkKeloHelvoUpdateWithCompletion(Completion completion);
    void checkPellixUpdateWithCompletion(Completion completion);
    void findDcNameUsingKey(const std::string& key);

  private:
    ApiHandler() = default;
};
