#include "OutputCapture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "TempHome.h"

OutputCapture::OutputCapture(int descriptor, std::string file)
    : descriptor_(descriptor), file_(std::move(file)) {
    std::fflush(nullptr);
    saved_ = ::dup(descriptor_);
    const int target =
        ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    ::dup2(target, descriptor_);
    ::close(target);
}

OutputCapture::~OutputCapture() {
    restore();
}

std::string OutputCapture::text() const {
    std::fflush(nullptr);
    return readText(file_);
}

void OutputCapture::restore() {
    if (saved_ < 0) return;
    std::fflush(nullptr);
    ::dup2(saved_, descriptor_);
    ::close(saved_);
    saved_ = -1;
}

std::string OutputCapture::stop() {
    restore();
    return readText(file_);
}
