#pragma once

#include <functional>

namespace platform {

// The global queue of background quality of service: blocks run concurrently on worker threads.
class GlobalQueue {
public:
    static void async(std::function<void()> block);
};

}  // namespace platform
