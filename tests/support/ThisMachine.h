#pragma once

#include <sys/utsname.h>

#include <string>

// What this machine must be called in the launcher's requests, worked out from uname here rather
// than asked of the launcher: the processor as the service names it (Arm is "arm64").
inline std::string thisArchitecture() {
    utsname names{};
    if (uname(&names) != 0) return "unknown";
    const std::string machine = names.machine;
    return machine == "aarch64" ? "arm64" : machine;
}

// The agent check's "agent" value on this machine, percent-encoded as the request carries it.
inline std::string thisAgentQuery() {
    return "agent=linux%20" + thisArchitecture();
}
