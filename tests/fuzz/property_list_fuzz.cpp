// Property lists as the launcher reads them (XML or binary, from files it does not control), and
// the promise the preferences depend on: whatever was read can be written and read back the
// same.
#include "FuzzSupport.h"
#include "Platform/PropertyList.h"

KELO_FUZZ_TARGET(input) {
    const auto value = platform::PropertyList::fromBytes(input);
    if (!value) return;
    (void)value->description();
    (void)value->stringValue();

    const std::string written = platform::PropertyList::toXml(*value);
    fuzz::require(!written.empty(), "a value read from a property list cannot be written", input);
    const auto reread = platform::PropertyList::fromBytes(written);
    fuzz::require(reread && platform::PropertyList::toXml(*reread) == written,
                  "the property list changes when it is written and read back", input);
}
