#include "Service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include <fmt/core.h>
#include <openssl/ssl.h>

namespace kelo::localservice {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::size_t kChunkSize = 64 * 1024;
constexpr std::size_t kWorkerThreads = 32;  // stalled answers each hold one

const char* const kAgentUpdatePath = "/api/v2/agent/check_update";
const char* const kLauncherUpdatePath = "/api/v1/customer_plugin/check_update";
const char* const kImagePrefix = "/agent/";
const char* const kEventPath = "/__event";

std::string contentTypeFor(const fs::path& file) {
    static const std::pair<const char*, const char*> types[] = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
        {".dmg", "application/x-apple-diskimage"},
        {".iso", "application/x-iso9660-image"},
    };
    const std::string extension = file.extension().string();
    for (const auto& [ext, type] : types) {
        if (extension == ext) return type;
    }
    return "application/octet-stream";
}

std::string contentTypeForBody(const std::string& body) {
    const json parsed = json::parse(body, nullptr, false);
    if (!parsed.is_discarded() && (parsed.is_object() || parsed.is_array())) {
        return "application/json";
    }
    return "text/plain; charset=utf-8";
}

// A plain file name: no folders, no way out of the folder it is looked up in.
bool isPlainName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

bool hasParentStep(const std::string& path) {
    for (const auto& part : fs::path(path)) {
        if (part == "..") return true;
    }
    return false;
}

json headersToJson(const httplib::Headers& headers) {
    json out = json::object();
    for (const auto& [name, value] : headers) {
        // The server library files the connection's addresses among the headers.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
            name == "LOCAL_PORT") {
            continue;
        }
        if (out.contains(name)) {
            out[name] = out[name].get<std::string>() + ", " + value;
        } else {
            out[name] = value;
        }
    }
    return out;
}

// A file's validators as web servers make them: an ETag of its size and modification time, and
// that time as an HTTP date.
std::string etagOf(const struct stat& info) {
    return fmt::format("\"{:x}-{:x}\"", info.st_size,
                       info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec);
}
std::string httpDate(std::time_t time) {
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

bool sameName(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// Sets a header in the list, replacing one of the same name; an empty value takes it out.
void putHeader(std::vector<std::pair<std::string, std::string>>& headers, const std::string& name,
               const std::string& value) {
    std::erase_if(headers, [&](const auto& header) { return sameName(header.first, name); });
    if (!value.empty()) headers.emplace_back(name, value);
}

std::string headerIn(const std::vector<std::pair<std::string, std::string>>& headers,
                     const std::string& name) {
    for (const auto& [key, value] : headers) {
        if (sameName(key, name)) return value;
    }
    return {};
}

// The one range "bytes=FIRST-" or "bytes=FIRST-LAST" of a request, within a body of `size`;
// other forms (several ranges, a suffix) are answered with the whole body, as HTTP allows.
struct ByteRange {
    std::size_t first = 0;
    std::size_t last = 0;
    bool satisfiable = true;
};
std::optional<ByteRange> requestedRange(std::string_view header, std::size_t size) {
    constexpr std::string_view unit = "bytes=";
    if (!header.starts_with(unit)) return std::nullopt;
    header.remove_prefix(unit.size());
    const auto dash = header.find('-');
    if (dash == std::string_view::npos || dash == 0) return std::nullopt;
    const auto number = [](std::string_view text) -> std::optional<std::size_t> {
        std::size_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
        return value;
    };
    const auto first = number(header.substr(0, dash));
    const auto last = dash + 1 == header.size() ? std::optional<std::size_t>(SIZE_MAX)
                                                : number(header.substr(dash + 1));
    if (!first || !last) return std::nullopt;
    if (*first >= size || *last < *first) return ByteRange{.satisfiable = false};
    return ByteRange{*first, std::min(*last, size - 1), true};
}

// What a response streams: a text held in memory, or an open file read in chunks.
struct Stream {
    std::string text;
    int fd = -1;
    std::size_t start = 0;  // where the body begins in the text or file (a range's first byte)
    std::size_t size = 0;
    std::optional<std::size_t> cutAt;
    bool stall = false;
    long stallMs = 0;
    int clientSocket = -1;
    std::vector<char> buffer;

    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

struct Service::Content {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string text;
    fs::path file;  // streamed when not empty
    std::vector<std::pair<std::string, std::string>> headers;
};

Service::Service(Config config) : config_(std::move(config)) {}

Service::~Service() {
    stop();
}

bool Service::start() {
    const fs::path cert = config_.certDir / (config_.certName + ".pem");
    const fs::path key = config_.certDir / (config_.certName + ".key");
    https_ = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!https_->is_valid()) {
        fmt::print(stderr, "kelo-local-service: cannot use the certificate {} with the key {}\n",
                   cert.string(), key.string());
        return false;
    }
    for (httplib::Server* server : {static_cast<httplib::Server*>(https_.get()), &control_}) {
        server->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
        server->set_keep_alive_max_count(100);
        // As web servers do: a small answer written in two pieces (headers, then body) must not
        // wait for the client's delayed acknowledgement of the first.
        server->set_tcp_nodelay(true);
        server->set_write_timeout(30, 0);
        server->set_exception_handler(
            [](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
                std::string what = "unknown error";
                try {
                    if (error) std::rethrow_exception(error);
                } catch (const std::exception& e) {
                    what = e.what();
                } catch (...) {
                }
                response.status = 500;
                response.set_content(what + "\n", "text/plain; charset=utf-8");
            });
        if (config_.verbose) {
            server->set_logger(
                [](const httplib::Request& request, const httplib::Response& response) {
                    fmt::print(stderr, "kelo-local-service: {} {} -> {}\n", request.method,
                               request.target, response.status);
                });
        }
    }
    routeHttps();
    routeControl();

    const auto bind = [](httplib::Server& server, int wanted) {
        if (wanted == 0) return server.bind_to_any_port("127.0.0.1");
        return server.bind_to_port("127.0.0.1", wanted) ? wanted : -1;
    };
    port_ = bind(*https_, config_.port);
    if (port_ <= 0) {
        fmt::print(stderr, "kelo-local-service: cannot listen on 127.0.0.1 port {}\n",
                   config_.port);
        return false;
    }
    controlPort_ = bind(control_, config_.controlPort);
    if (controlPort_ <= 0) {
        fmt::print(stderr, "kelo-local-service: cannot listen on 127.0.0.1 port {}\n",
                   config_.controlPort);
        return false;
    }
    httpsThread_ = std::thread([this] { https_->listen_after_bind(); });
    controlThread_ = std::thread([this] { control_.listen_after_bind(); });
    return true;
}

void Service::stop() {
    stopping_ = true;
    if (https_) https_->stop();
    control_.stop();
    if (httpsThread_.joinable()) httpsThread_.join();
    if (controlThread_.joinable()) controlThread_.join();
}

void Service::pause(int clientSocket, long limitMs) const {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(limitMs);
    while (!stopping_) {
        int step = 50;
        if (limitMs > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
            if (left <= 0) return;
            step = static_cast<int>(std::min<long long>(left, step));
        }
        if (clientSocket >= 0) {
            pollfd watch{clientSocket, POLLRDHUP, 0};
            const int ready = ::poll(&watch, 1, step);
            if (ready > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))) return;
            if (ready < 0 && errno != EINTR) return;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(step));
        }
    }
}

void Service::routeHttps() {
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        handleHttps(request, response);
    };
    https_->Get(".*", handler);
    https_->Post(".*", handler);
    https_->Put(".*", handler);
    https_->Delete(".*", handler);
}

void Service::handleHttps(const httplib::Request& request, httplib::Response& response) {
    // The service answers ranges itself (send()): the library's own handling would cut any
    // answer to the range, whatever its status, and knows nothing of If-Range. Its request is
    // its own, not a constant.
    const_cast<httplib::Request&>(request).ranges.clear();
    journal_.addRequest({{"method", request.method},
                         {"target", request.target},
                         {"path", request.path},
                         {"headers", headersToJson(request.headers)},
                         {"time", secondsSinceEpoch()}});

    if (request.method == "POST" && request.path == kEventPath) {
        json event = json::parse(request.body, nullptr, false);
        if (event.is_discarded() || !event.is_object() || !event.contains("name") ||
            !event["name"].is_string()) {
            response.status = 400;
            response.set_content("an event is a JSON object with a \"name\"\n",
                                 "text/plain; charset=utf-8");
            return;
        }
        if (!event.contains("time")) event["time"] = secondsSinceEpoch();
        journal_.addEvent(std::move(event));
        response.status = 204;
        return;
    }

    const std::optional<Answer> answer = answers_.take(request.path);
    if (!answer) {
        send(request, response, defaultContent(request), nullptr);
        return;
    }

    const int clientSocket = request.ssl ? SSL_get_fd(request.ssl) : -1;
    if (answer->delayMs > 0) pause(clientSocket, answer->delayMs);

    Content content;
    if (answer->redirectTo) {
        content.status = answer->status.value_or(302);
        content.headers.emplace_back("Location", *answer->redirectTo);
    } else if (answer->body) {
        content.status = answer->status.value_or(200);
        content.text = *answer->body;
        content.contentType = contentTypeForBody(content.text);
    } else if (answer->file) {
        const fs::path file = config_.root / *answer->file;
        if (fs::is_regular_file(file)) {
            content.status = answer->status.value_or(200);
            content.file = file;
            content.contentType = contentTypeFor(file);
        } else {
            content.status = 404;
            content.text = "Not Found\n";
        }
    } else if (answer->status && *answer->status >= 300) {
        // A failure status alone comes with a short text, not with the path's usual content.
        content.status = *answer->status;
        content.text = fmt::format("status {}\n", content.status);
    } else {
        content = defaultContent(request);
        if (answer->status) content.status = *answer->status;
    }
    if (answer->contentType) content.contentType = *answer->contentType;
    for (const auto& header : answer->headers) content.headers.push_back(header);
    send(request, response, std::move(content), &*answer);
}

Service::Content Service::defaultContent(const httplib::Request& request) const {
    Content content;
    const std::string& path = request.path;
    const auto notFound = [&content] {
        content.status = 404;
        content.text = "Not Found\n";
        return content;
    };
    if (request.method != "GET" && request.method != "HEAD") return notFound();

    if (path == kAgentUpdatePath) {
        content.contentType = "application/json";
        content.text =
            json{{"representation",
                  {{"AGENT",
                    {{"update_needed", false}, {"download_url", ""}, {"fallback_url", ""}}}}}}
                .dump();
        return content;
    }
    if (path == kLauncherUpdatePath) {
        content.contentType = "application/json";
        content.text = json{{"representation", {{"download_url", ""}, {"update", false}}}}.dump();
        return content;
    }
    if (path.starts_with(kImagePrefix)) {
        const std::string name = path.substr(std::string_view(kImagePrefix).size());
        if (!isPlainName(name) || config_.root.empty()) return notFound();
        const fs::path file = config_.root / name;
        if (!fs::is_regular_file(file)) return notFound();
        content.file = file;
        content.contentType = contentTypeFor(file);
        return content;
    }

    if (config_.www.empty() || hasParentStep(path)) return notFound();
    fs::path file = config_.www / fs::path(path).relative_path();
    std::error_code error;
    if (fs::is_directory(file, error)) file /= "index.html";
    if (!fs::is_regular_file(file, error)) return notFound();
    content.file = file;
    content.contentType = contentTypeFor(file);
    content.headers.emplace_back("Cache-Control", "no-store");
    return content;
}

void Service::send(const httplib::Request& request, httplib::Response& response, Content content,
                   const Answer* answer) {
    auto stream = std::make_shared<Stream>();
    std::vector<std::pair<std::string, std::string>> headers;
    if (!content.file.empty()) {
        stream->fd = ::open(content.file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (stream->fd < 0 || ::fstat(stream->fd, &info) != 0) {
            fmt::print(stderr, "kelo-local-service: cannot read {}\n", content.file.string());
            response.status = 404;
            response.set_content("Not Found\n", "text/plain; charset=utf-8");
            return;
        }
        stream->size = static_cast<std::size_t>(info.st_size);
        stream->buffer.resize(kChunkSize);
        headers = {{"Accept-Ranges", "bytes"},
                   {"ETag", etagOf(info)},
                   {"Last-Modified", httpDate(info.st_mtim.tv_sec)}};
    } else {
        stream->size = content.text.size();
        stream->text = std::move(content.text);
    }
    // The answer's own headers come last: they replace the file's (or, empty, take them out).
    for (const auto& [name, value] : content.headers) putHeader(headers, name, value);

    // A range of a whole body, unless If-Range names a version other than this one.
    const std::string ranged = request.get_header_value("Range");
    const std::string ifRange = request.get_header_value("If-Range");
    if (content.status == 200 && !ranged.empty() && !(answer && answer->ignoreRange) &&
        (ifRange.empty() || ifRange == headerIn(headers, "ETag") ||
         ifRange == headerIn(headers, "Last-Modified"))) {
        if (const auto range = requestedRange(ranged, stream->size)) {
            if (!range->satisfiable) {
                content.status = 416;
                headers.emplace_back("Content-Range", fmt::format("bytes */{}", stream->size));
                stream->size = 0;
            } else {
                content.status = 206;
                headers.emplace_back("Content-Range", fmt::format("bytes {}-{}/{}", range->first,
                                                                  range->last, stream->size));
                stream->start = range->first;
                stream->size = range->last - range->first + 1;
            }
        }
    }

    response.status = content.status;
    for (const auto& [name, value] : headers) response.set_header(name, value);
    if (answer && answer->stallAfterBytes) {
        stream->cutAt = answer->stallAfterBytes;
        stream->stall = true;
        stream->stallMs = answer->stallMs;
        stream->clientSocket = request.ssl ? SSL_get_fd(request.ssl) : -1;
    } else if (answer && answer->dropAfterBytes) {
        stream->cutAt = answer->dropAfterBytes;
    }

    if (stream->fd < 0 && !stream->cutAt) {
        journal_.addSent(request.path, stream->size);
        response.set_content(stream->text.substr(stream->start, stream->size), content.contentType);
        return;
    }
    // Files are sent a chunk at a time, so that a large image never sits in memory whole. The
    // offset counts the bytes of this answer's body: a cut comes after that many.
    response.set_content_provider(
        stream->size, content.contentType,
        [this, stream, path = request.path](std::size_t offset, std::size_t length,
                                            httplib::DataSink& sink) {
            if (stream->cutAt && offset >= *stream->cutAt) {
                if (stream->stall) pause(stream->clientSocket, stream->stallMs);
                return false;  // closes the connection
            }
            std::size_t count = std::min(length, kChunkSize);
            if (stream->cutAt) count = std::min(count, *stream->cutAt - offset);
            const char* bytes = stream->buffer.data();
            if (stream->fd < 0) {
                bytes = stream->text.data() + stream->start + offset;
            } else {
                const ssize_t got = ::pread(stream->fd, stream->buffer.data(), count,
                                            static_cast<off_t>(stream->start + offset));
                if (got <= 0) return false;
                count = static_cast<std::size_t>(got);
            }
            if (!sink.write(bytes, count)) return false;
            journal_.addSent(path, count);
            return true;
        });
}

void Service::routeControl() {
    const auto reply = [](httplib::Response& response, int status, const json& body) {
        response.status = status;
        response.set_content(body.dump(), "application/json");
    };

    control_.Post("/control/answer",
                  [this, reply](const httplib::Request& request, httplib::Response& response) {
                      const json body = json::parse(request.body, nullptr, false);
                      if (body.is_discarded())
                          return reply(response, 400, {{"error", "the body is not JSON"}});
                      // One answer, or a list of answers queued in order.
                      const json list = body.is_array() ? body : json::array({body});
                      std::vector<std::pair<std::string, Answer>> parsed;
                      for (const json& item : list) {
                          std::string error;
                          auto answer = parseAnswer(item, error);
                          if (!answer) return reply(response, 400, {{"error", error}});
                          parsed.push_back(std::move(*answer));
                      }
                      for (auto& [path, answer] : parsed) answers_.add(path, std::move(answer));
                      reply(response, 200, {{"queued", parsed.size()}});
                  });

    control_.Post("/control/reset",
                  [this, reply](const httplib::Request&, httplib::Response& response) {
                      answers_.clear();
                      journal_.clearRequests();
                      journal_.clearEvents();
                      reply(response, 200, json::object());
                  });

    control_.Get("/control/requests",
                 [this, reply](const httplib::Request& request, httplib::Response& response) {
                     reply(response, 200, journal_.requests(request.get_param_value("path")));
                 });
    control_.Get("/control/sent", [this, reply](const httplib::Request& request,
                                                httplib::Response& response) {
        reply(response, 200, {{"bytes", journal_.sent(request.get_param_value("path"))}});
    });
    control_.Delete("/control/requests",
                    [this, reply](const httplib::Request&, httplib::Response& response) {
                        journal_.clearRequests();
                        reply(response, 200, json::object());
                    });

    control_.Post("/control/event", [this, reply](const httplib::Request& request,
                                                  httplib::Response& response) {
        json event = json::parse(request.body, nullptr, false);
        if (event.is_discarded() || !event.is_object() || !event.contains("name") ||
            !event["name"].is_string()) {
            return reply(response, 400, {{"error", "an event is a JSON object with a \"name\""}});
        }
        if (!event.contains("time")) event["time"] = secondsSinceEpoch();
        journal_.addEvent(std::move(event));
        reply(response, 200, json::object());
    });
    control_.Get("/control/events",
                 [this, reply](const httplib::Request&, httplib::Response& response) {
                     reply(response, 200, journal_.events());
                 });
    control_.Delete("/control/events",
                    [this, reply](const httplib::Request&, httplib::Response& response) {
                        journal_.clearEvents();
                        reply(response, 200, json::object());
                    });

    // Every other path answers as on the https side, in plain http: a test that shows plain
    // http refused needs a server that would have answered it.
    const auto plain = [this](const httplib::Request& request, httplib::Response& response) {
        handleHttps(request, response);
    };
    control_.Get(".*", plain);
    control_.Post(".*", plain);
}

}  // namespace kelo::localservice
