// The local service: an HTTPS side that plays the data centre's web server (update checks, disk
// images, the join page) and a plain HTTP control side on which tests script its answers and read
// what it received; outside /control/ the plain side answers as the HTTPS side does. Both listen
// on 127.0.0.1 only.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>

#include "Answers.h"

namespace kelo::localservice {

struct Config {
    std::filesystem::path certDir;
    std::string certName = "server";
    std::filesystem::path root;  // the disk images
    std::filesystem::path www;   // the static pages
    int port = 0;                // 0: chosen by the system
    int controlPort = 0;
    bool verbose = false;
};

class Service {
  public:
    explicit Service(Config config);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Binds both ports and starts serving; false (with a line on standard error) on failure.
    bool start();
    // Stops both sides; stalled and delayed answers end at once.
    void stop();

    int port() const { return port_; }
    int controlPort() const { return controlPort_; }

  private:
    struct Content;

    void routeHttps();
    void routeControl();
    void handleHttps(const httplib::Request& request, httplib::Response& response);
    Content defaultContent(const httplib::Request& request) const;
    void send(const httplib::Request& request, httplib::Response& response, Content content,
              const Answer* answer);
    // Waits `limitMs` (0: without limit) or until the client closes its connection or the
    // service stops, whichever comes first.
    void pause(int clientSocket, long limitMs) const;

    Config config_;
    std::unique_ptr<httplib::SSLServer> https_;
    httplib::Server control_;
    AnswerBook answers_;
    Journal journal_;
    std::atomic<bool> stopping_{false};
    int port_ = 0;
    int controlPort_ = 0;
    std::thread httpsThread_;
    std::thread controlThread_;
};

}  // namespace kelo::localservice
