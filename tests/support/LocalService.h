#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

// The local service (tools/local-service) run as a child process of the test: an HTTPS server on
// 127.0.0.1 that plays the data centre's web server, with a test authority's certificate. Tests
// script its answers per path and read the requests it received.
//
// The constructor starts it and throws std::runtime_error when it does not come up; the
// destructor stops it and removes its temporary folder.
class LocalService {
  public:
    // A scripted answer for one path. Whatever is left unset comes from the path's usual answer,
    // so {dropAfterBytes = 1000} serves the usual image but closes the connection after 1000
    // bytes of it. A file comes with its ETag and Last-Modified, and a Range request for it (one
    // range, If-Range naming that ETag or date, or none) gets that range with status 206. A
    // header given here replaces the file's; given empty, it takes it out. A failure status (300 or
    // more) without body or file comes with a short text. Answers for one path are used in the
    // order they were set; one without `times` stays in front for good.
    struct Answer {
        std::optional<int> status{};
        std::optional<std::string> body{};
        std::optional<std::string> contentType{};
        std::optional<std::string> file{};  // a file in rootDir() sent as the body
        std::map<std::string, std::string> headers{};
        long delayMs = 0;  // before anything is sent
        // Close the connection after this many bytes of the body.
        std::optional<std::size_t> dropAfterBytes{};
        // Stop sending after this many bytes of the body and keep the connection open until
        // stallMs have passed (0: until the client goes away), then close it.
        std::optional<std::size_t> stallAfterBytes{};
        long stallMs = 0;
        std::optional<std::string> redirectTo{};  // 302 with this Location
        bool ignoreRange = false;     // a Range request gets the whole body, with status 200
        std::optional<long> times{};  // how often; unset: every time from now on
    };

    // A request as the service received it.
    struct Request {
        std::string method;
        std::string target;  // path and query exactly as sent
        std::string path;    // decoded, without the query
        std::map<std::string, std::string> headers;
        double time = 0;  // seconds since the epoch

        // The value of a header, whatever the case of its name; empty when absent.
        std::string header(std::string_view name) const;
    };

    // `certificate` names the server certificate: "server" (valid for 127.0.0.1), "expired",
    // "wronghost", "selfsigned" or "unknownca".
    explicit LocalService(std::string certificate = "server");
    ~LocalService();
    LocalService(const LocalService&) = delete;
    LocalService& operator=(const LocalService&) = delete;

    // Starts the service again after stop(), on the same port when that port is still free.
    void start();
    // Ends the service: SIGTERM, then SIGKILL after 2 s.
    void stop();
    bool running() const { return pid_ > 0; }

    int port() const { return port_; }
    std::string host() const;     // "127.0.0.1:PORT"
    std::string baseUrl() const;  // "https://127.0.0.1:PORT"
    // The same answers in plain http (the control port): what the launcher must refuse.
    std::string plainBaseUrl() const;
    std::string caFile() const;                           // the authority to trust
    const std::string& rootDir() const { return root_; }  // where tests put the disk images

    void setAnswer(const std::string& path, const Answer& answer);
    // Default answers again; request log and events cleared.
    void reset();
    // The body bytes sent for a path so far, cut answers included.
    std::size_t sent(const std::string& path) const;
    // Every request received so far, or those for one path.
    std::vector<Request> requests(const std::string& path = {}) const;
    // Whether `count` requests for `path` have arrived within `timeout`.
    bool waitForRequests(const std::string& path, std::size_t count,
                         std::chrono::milliseconds timeout) const;
    // The events that pages reported, oldest first, each a JSON object with "name" and "time".
    nlohmann::json events() const;
    bool waitForEvent(const std::string& name, std::chrono::milliseconds timeout) const;

    // Sets KELO_PELLIX_HOSTS and KELO_PELLIX_CA_FILE in this process's environment, so that the
    // launcher takes `dc` to be this service.
    void applyEnvironment(const std::string& dc) const;

    // The folder of the test authority and certificates, made on first use.
    static std::string certificateFolder();
    // Path of the service executable.
    static std::string executable();

  private:
    bool launch(int port);
    nlohmann::json control(const std::string& method, const std::string& path,
                           const nlohmann::json& body = nullptr) const;

    std::string certificate_;
    std::string folder_;  // temporary, owned
    std::string root_;
    pid_t pid_ = -1;
    int port_ = 0;
    int controlPort_ = 0;
};
