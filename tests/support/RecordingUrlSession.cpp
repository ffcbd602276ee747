#include "RecordingUrlSession.h"

#include <utility>

void RecordingUrlSession::note(const platform::UrlRequest& request) {
    if (onRequest) onRequest(request);
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
}

void RecordingUrlSession::dataTask(platform::UrlRequest request,
                                   platform::DataTaskCompletion completion) {
    note(request);
    std::lock_guard lock(mutex_);
    dataRequests_.push_back(std::move(request));
    dataCompletions_.push_back(std::move(completion));
}

void RecordingUrlSession::downloadTask(platform::UrlRequest request,
                                       platform::DownloadTaskCompletion completion,
                                       platform::DownloadProgressHandler) {
    note(request);
    if (!unreachable) return;
    completion(std::nullopt, std::nullopt,
               platform::UrlError{"NSURLErrorDomain", -1004, "Could not connect to the server.",
                                  request.url});
}

std::vector<platform::UrlRequest> RecordingUrlSession::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t RecordingUrlSession::count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

void RecordingUrlSession::finish(std::size_t index, long status) {
    platform::DataTaskCompletion completion;
    platform::UrlResponse response;
    {
        std::lock_guard lock(mutex_);
        completion = dataCompletions_.at(index);
        response.url = dataRequests_.at(index).url;
    }
    if (status == 0) {
        completion("", std::nullopt,
                   platform::UrlError{"NSURLErrorDomain", -1005, "The network connection was lost.",
                                      response.url});
        return;
    }
    response.statusCode = status;
    completion("{}", response, std::nullopt);
}
