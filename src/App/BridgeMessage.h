#pragma once

#include <glib.h>

#include <optional>

#include "Handlers/ScriptMessage.h"

// A script message on its way from the web process to the window. The page bridge that runs in
// the web process (src/WebProcessExtension) gives each main-frame document of the window
// window.webkit.messageHandlers.NAME.postMessage(body); every posted message travels as a user
// message named NAME whose parameters are (address, kind, text, number):
//   address  the posting document's address, taken when its window object was made
//   kind     what the page posted: "undefined", "null", "string", "boolean", "number" or "json"
//   text     a string body byte for byte, or the JSON text of an object or array
//   number   a number body, or 1 and 0 for true and false
// Nothing the page does can change the address: it is captured in the web process before any
// script of the document runs, and never read again.
class BridgeMessage {
  public:
    static constexpr const char* kParameterType = "(ssayd)";

    static constexpr const char* kUndefined = "undefined";
    static constexpr const char* kNull = "null";
    static constexpr const char* kString = "string";
    static constexpr const char* kBoolean = "boolean";
    static constexpr const char* kNumber = "number";
    static constexpr const char* kJson = "json";

    // The message as the dispatcher takes it; nullopt for parameters of another shape.
    static std::optional<ScriptMessage> decode(const char* name, GVariant* parameters);
};
