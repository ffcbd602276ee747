#pragma once

#include <string_view>

namespace platform {

// Looks at property-list bytes before the property-list library parses them, and refuses what
// would stop the process inside the library: a text holding a NUL character (the library fails
// an assertion when it hands such a text out), containers nested deeper than any list of ours
// (its parsers recurse once per level and overflow the stack), and binary lists whose shared
// references expand into more objects than any list of ours holds.
class PropertyListScreen {
  public:
    static constexpr int kMaximumDepth = 256;
    static constexpr unsigned long kMaximumExpandedObjects = 1'000'000;

    static bool isSafeToParse(std::string_view bytes);

  private:
    static bool isSafeXml(std::string_view bytes);
    static bool isSafeBinary(std::string_view bytes);
};

}  // namespace platform
