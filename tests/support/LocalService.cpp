#include "LocalService.h"

#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include <fmt/core.h>
#include <httplib.h>

#include "Eventually.h"

extern char** environ;

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr auto kStopGrace = std::chrono::seconds(2);

// The number in a port file, once the service has written it whole.
int readPort(const fs::path& file) {
    int port = 0;
    std::ifstream(file) >> port;
    return std::max(port, 0);
}

bool waitForExit(pid_t pid) {
    return eventually(
        [pid] {
            const pid_t done = waitpid(pid, nullptr, WNOHANG);
            return done == pid || (done < 0 && errno == ECHILD);
        },
        kStopGrace);
}

}  // namespace

std::string LocalService::Request::header(std::string_view name) const {
    const auto same = [name](const std::string& key) {
        return std::equal(key.begin(), key.end(), name.begin(), name.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
        });
    };
    for (const auto& [key, value] : headers) {
        if (same(key)) return value;
    }
    return {};
}

std::string LocalService::certificateFolder() {
    static std::once_flag once;
    static std::string folder;
    std::call_once(once, [] {
        const fs::path target = fs::weakly_canonical(fs::path(KELO_BIN_DIR) / ".." / "test-ca");
        const std::string script = std::string(KELO_SOURCE_DIR) + "/tools/make-test-ca.sh";
        if (std::system(("/bin/bash '" + script + "' '" + target.string() + "'").c_str()) != 0) {
            throw std::runtime_error("make-test-ca.sh failed for " + target.string());
        }
        folder = target.string();
    });
    return folder;
}

std::string LocalService::executable() {
    return std::string(KELO_BIN_DIR) + "/kelo-local-service";
}

LocalService::LocalService(std::string certificate) : certificate_(std::move(certificate)) {
    std::string pattern = (fs::temp_directory_path() / "kelo-local-service-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    folder_ = pattern;
    root_ = folder_ + "/root";
    fs::create_directory(root_);
    try {
        start();
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        throw;
    }
}

LocalService::~LocalService() {
    stop();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

void LocalService::start() {
    if (running()) return;
    // The earlier port first, so that clients that keep the address find the service again.
    if (port_ > 0 && launch(port_)) return;
    if (!launch(0)) {
        throw std::runtime_error("the local service did not start (" + executable() + ")");
    }
}

bool LocalService::launch(int port) {
    const std::string portFile = folder_ + "/port";
    const std::string controlPortFile = folder_ + "/control-port";
    std::error_code ignored;
    fs::remove(portFile, ignored);
    fs::remove(controlPortFile, ignored);

    std::vector<std::string> arguments = {executable(),   "--cert-dir", certificateFolder(),
                                          "--cert",       certificate_, "--root",
                                          root_,          "--port",     std::to_string(port),
                                          "--port-file",  portFile,     "--control-port-file",
                                          controlPortFile};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;

    bool gaveUp = false;  // the port was taken
    const bool listening = eventually(
        [&] {
            gaveUp = waitpid(pid, nullptr, WNOHANG) == pid;
            return gaveUp || (readPort(portFile) > 0 && readPort(controlPortFile) > 0);
        },
        std::chrono::seconds(10));
    if (gaveUp) return false;
    if (listening) {
        pid_ = pid;
        port_ = readPort(portFile);
        controlPort_ = readPort(controlPortFile);
        return true;
    }
    kill(pid, SIGKILL);
    waitForExit(pid);
    return false;
}

void LocalService::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!waitForExit(pid_)) {
        kill(pid_, SIGKILL);
        waitForExit(pid_);
    }
    pid_ = -1;
}

std::string LocalService::host() const {
    return fmt::format("127.0.0.1:{}", port_);
}

std::string LocalService::baseUrl() const {
    return "https://" + host();
}

std::string LocalService::plainBaseUrl() const {
    return "http://127.0.0.1:" + std::to_string(controlPort_);
}

std::string LocalService::caFile() const {
    return certificateFolder() + "/ca.pem";
}

json LocalService::control(const std::string& method, const std::string& path,
                           const json& body) const {
    if (!running()) throw std::runtime_error("the local service is not running");
    httplib::Client client("127.0.0.1", controlPort_);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(10, 0);
    httplib::Result result = [&] {
        if (method == "GET") return client.Get(path);
        if (method == "DELETE") return client.Delete(path);
        return client.Post(path, body.is_null() ? std::string("{}") : body.dump(),
                           "application/json");
    }();
    if (!result) {
        throw std::runtime_error(fmt::format("control request {} {} failed: {}", method, path,
                                             httplib::to_string(result.error())));
    }
    json answer = json::parse(result->body, nullptr, false);
    if (result->status != 200 || answer.is_discarded()) {
        throw std::runtime_error(fmt::format("control request {} {} answered {}: {}", method, path,
                                             result->status, result->body));
    }
    return answer;
}

void LocalService::setAnswer(const std::string& path, const Answer& answer) {
    const auto set = [](const auto& value) { return value ? json(*value) : json(); };
    json body = {{"path", path},
                 {"status", set(answer.status)},
                 {"body", set(answer.body)},
                 {"contentType", set(answer.contentType)},
                 {"file", set(answer.file)},
                 {"dropAfterBytes", set(answer.dropAfterBytes)},
                 {"stallAfterBytes", set(answer.stallAfterBytes)},
                 {"redirectTo", set(answer.redirectTo)},
                 {"ignoreRange", answer.ignoreRange ? json(true) : json()},
                 {"times", set(answer.times)}};
    if (!answer.headers.empty()) body["headers"] = answer.headers;
    if (answer.delayMs > 0) body["delayMs"] = answer.delayMs;
    if (answer.stallMs > 0) body["stallMs"] = answer.stallMs;
    // Unset parts are left out: the path's usual answer fills them in.
    for (auto it = body.begin(); it != body.end();)
        it = it->is_null() ? body.erase(it) : std::next(it);
    control("POST", "/control/answer", body);
}

void LocalService::reset() {
    control("POST", "/control/reset");
}

std::size_t LocalService::sent(const std::string& path) const {
    return control("GET", httplib::append_query_params("/control/sent", {{"path", path}}))
        .value("bytes", std::size_t{0});
}

std::vector<LocalService::Request> LocalService::requests(const std::string& path) const {
    const std::string target =
        path.empty() ? std::string("/control/requests")
                     : httplib::append_query_params("/control/requests", {{"path", path}});
    std::vector<Request> out;
    for (const json& item : control("GET", target)) {
        Request request;
        request.method = item.value("method", "");
        request.target = item.value("target", "");
        request.path = item.value("path", "");
        request.time = item.value("time", 0.0);
        if (item.contains("headers")) {
            for (const auto& [name, value] : item["headers"].items()) {
                request.headers[name] = value.get<std::string>();
            }
        }
        out.push_back(std::move(request));
    }
    return out;
}

bool LocalService::waitForRequests(const std::string& path, std::size_t count,
                                   std::chrono::milliseconds timeout) const {
    return eventually([&] { return requests(path).size() >= count; }, timeout);
}

json LocalService::events() const {
    return control("GET", "/control/events");
}

bool LocalService::waitForEvent(const std::string& name, std::chrono::milliseconds timeout) const {
    return eventually(
        [&] {
            const json all = events();
            return std::any_of(all.begin(), all.end(),
                               [&](const json& event) { return event.value("name", "") == name; });
        },
        timeout);
}

void LocalService::applyEnvironment(const std::string& dc) const {
    setenv("KELO_PELLIX_HOSTS", (dc + "=" + host()).c_str(), 1);
    setenv("KELO_PELLIX_CA_FILE", caFile().c_str(), 1);
}
