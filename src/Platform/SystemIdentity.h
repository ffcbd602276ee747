#pragma once

#include <string>
#include <string_view>

namespace platform {

// The words the service knows this system by: they choose the agent and the launcher it hands
// out, and the join page shows them. Every request and answer that names the system asks here.
// Linux: "linux", and the processor as uname names it ("x86_64", "arm64" for aarch64, any other
// machine word as it stands). A macOS build keeps "mac" and "arm64", the only processor it is
// built for.
class SystemIdentity {
  public:
    static std::string systemWord();
    static std::string architectureWord();
    // The architecture word for a machine word of uname.
    static std::string architectureWordFor(std::string_view machine);
    // The User-Agent of a browser on this system, for requests that stand in for a browser's.
    static std::string browserUserAgent();
};

}  // namespace platform
