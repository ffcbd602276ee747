// kelo-local-service: the local stand-in for the data centre's web server, for tests and the demo.
//
//   kelo-local-service --cert-dir DIR [--cert NAME] [--root DIR] [--www DIR]
//                      [--port N] [--port-file FILE] [--control-port N] [--control-port-file FILE]
//                      [--verbose]
//
// Ends on SIGTERM or SIGINT, and by itself when the process that started it goes away.
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include <fmt/core.h>

#include "Service.h"

namespace fs = std::filesystem;
using kelo::localservice::Config;
using kelo::localservice::Service;

namespace {

const char* const kUsage =
    "usage: kelo-local-service --cert-dir DIR [--cert NAME] [--root DIR] [--www DIR]\n"
    "                          [--port N] [--port-file FILE] [--control-port N]\n"
    "                          [--control-port-file FILE] [--verbose]\n"
    "  --cert NAME   server (default), expired, wronghost, selfsigned or unknownca\n"
    "  --port 0      lets the system choose; the port files then say which port it is\n";

bool parsePort(std::string_view text, int& port) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    return error == std::errc() && end == text.data() + text.size() && port >= 0 && port <= 65535;
}

// Written whole under a temporary name and renamed, so a reader never sees half a number.
bool writePortFile(const fs::path& file, int port) {
    const fs::path temporary = file.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << port << '\n';
        out.flush();
        if (!out) return false;
    }
    std::error_code error;
    fs::rename(temporary, file, error);
    return !error;
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    config.www = fs::path(__FILE__).parent_path() / "www";
    fs::path portFile;
    fs::path controlPortFile;

    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            fmt::print("{}", kUsage);
            return 0;
        }
        if (option == "--verbose") {
            config.verbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            fmt::print(stderr, "kelo-local-service: {} needs a value\n{}", option, kUsage);
            return 2;
        }
        const std::string value = argv[++i];
        if (option == "--cert-dir") {
            config.certDir = value;
        } else if (option == "--cert") {
            config.certName = value;
        } else if (option == "--root") {
            config.root = value;
        } else if (option == "--www") {
            config.www = value;
        } else if (option == "--port-file") {
            portFile = value;
        } else if (option == "--control-port-file") {
            controlPortFile = value;
        } else if (option == "--port" || option == "--control-port") {
            int& port = option == "--port" ? config.port : config.controlPort;
            if (!parsePort(value, port)) {
                fmt::print(stderr, "kelo-local-service: {} is not a port number\n", value);
                return 2;
            }
        } else {
            fmt::print(stderr, "kelo-local-service: unknown option {}\n{}", option, kUsage);
            return 2;
        }
    }
    if (config.certDir.empty()) {
        fmt::print(stderr, "kelo-local-service: --cert-dir is required\n{}", kUsage);
        return 2;
    }
    if (config.certName.empty() || config.certName.find('/') != std::string::npos) {
        fmt::print(stderr, "kelo-local-service: {} is not a certificate name\n", config.certName);
        return 2;
    }

    // The signals that end the service are taken by the main thread alone, with sigtimedwait.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const pid_t parent = getppid();
    if (parent == 1) {
        fmt::print(stderr,
                   "kelo-local-service: started without a parent to watch; end it with "
                   "SIGTERM\n");
    }

    Service service(config);
    if (!service.start()) return 1;
    if ((!portFile.empty() && !writePortFile(portFile, service.port())) ||
        (!controlPortFile.empty() && !writePortFile(controlPortFile, service.controlPort()))) {
        fmt::print(stderr, "kelo-local-service: cannot write the port files\n");
        return 1;
    }
    if (config.verbose) {
        fmt::print(stderr,
                   "kelo-local-service: https://127.0.0.1:{} (certificate {}), control "
                   "http://127.0.0.1:{}\n",
                   service.port(), config.certName, service.controlPort());
    }

    const timespec step{0, 200'000'000};
    for (;;) {
        const int received = sigtimedwait(&endSignals, nullptr, &step);
        if (received > 0) break;
        if (getppid() != parent) break;  // the starter is gone: nobody will stop us
    }

    // Answers under way get a moment to finish; idle keep-alive connections would hold the
    // process for seconds, so it ends regardless after that moment.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::_Exit(0);
    }).detach();
    service.stop();
    return 0;
}
