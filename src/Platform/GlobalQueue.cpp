#include "Platform/GlobalQueue.h"

#include <thread>

#include "Platform/ExceptionGuard.h"

namespace platform {

void GlobalQueue::async(std::function<void()> block) {
    // Each block gets a worker of its own; the blocks are few (launch checks, path reports).
    std::thread([block = std::move(block)] {
        ExceptionGuard::run("GlobalQueue", block);
    }).detach();
}

}  // namespace platform
