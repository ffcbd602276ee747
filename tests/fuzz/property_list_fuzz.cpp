// Property lists as the launcher reads them (XML or binary, from files it does not control), and
// the promise the preferences depend on: whatever was read can be written and read back the
// same.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "Platform/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);
    const auto value = platform::PropertyList::fromBytes(input);
    if (!value) return 0;
    (void)value->description();
    (void)value->stringValue();

    const std::string written = platform::PropertyList::toXml(*value);
    fuzz::require(!written.empty(), "a value read from a property list cannot be written", input);
    const auto reread = platform::PropertyList::fromBytes(written);
    fuzz::require(reread.has_value(), "the written property list cannot be read back", input);
    fuzz::require(platform::PropertyList::toXml(*reread) == written,
                  "the property list changes when it is read back and written again", input);
    return 0;
}
