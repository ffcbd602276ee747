#pragma once

#include <stdexcept>

namespace hdiutil {

// A failure the user is told about in one line ("hdiutil: mount failed - <what>"). Every step
// throws it with a reason that names the path or program involved, so the commands only need one
// catch to turn any failure into hdiutil's error line and exit status.
class HdiutilError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace hdiutil
