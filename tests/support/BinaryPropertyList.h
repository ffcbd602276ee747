#pragma once

#include <string>

// The binary form of a property list, which the launcher reads but never writes.
class BinaryPropertyList {
  public:
    // The XML property list in binary form; empty when the XML cannot be read.
    static std::string fromXml(const std::string& xml);
};
