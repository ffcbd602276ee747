#include "UrlSessionQueue.h"

#include <future>
#include <memory>

#include "Platform/UrlSession.h"

bool UrlSessionQueue::drain(std::chrono::seconds limit) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    platform::UrlSession::shared().enqueue([done] { done->set_value(); });
    return future.wait_for(limit) == std::future_status::ready;
}
