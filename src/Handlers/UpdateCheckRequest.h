#pragma once

#include <functional>
#include <string>
#include <string_view>

// One update check against the service's API. The request goes out unless its address cannot be
// sent; the answer's body is read once the exchange succeeded; the completion learns the outcome
// exactly once, later, on the URL session's queue, whatever happens on the way.
class UpdateCheckRequest {
  public:
    using Completion = std::function<void(bool)>;

    // The address to ask; `sendable` is false when a part it needs is missing.
    struct Address {
        std::string text;
        bool sendable = true;
    };

    // `operation` names the step that builds and sends the request and `blockOperation` its
    // completion, in their log lines. `address` runs first; `read` gets the body of a successful
    // exchange. The check succeeds unless one of them throws or the exchange fails.
    static void send(std::string_view operation, std::string_view blockOperation,
                     Completion completion, const std::function<Address()>& address,
                     std::function<void(const std::string& body)> read);
};
