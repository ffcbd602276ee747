#pragma once

#include <string>

namespace platform {

// A failure as the platform reports it: domain, code, description and the path involved.
struct Error {
    std::string domain = "NSPOSIXErrorDomain";
    int code = 0;
    std::string description;
    std::string path;

    // From an errno value.
    static Error posix(int errorNumber, std::string path = {});
    static Error other(std::string description, std::string path = {});

    // The printed form used in log lines:
    // Error Domain=NSPOSIXErrorDomain Code=2 "No such file or directory" UserInfo={NSFilePath=...}
    std::string printedForm() const;
};

}  // namespace platform
