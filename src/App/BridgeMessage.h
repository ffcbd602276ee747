#pragma once

#include <glib.h>

#include <cstddef>
#include <optional>
#include <string>

#include "Handlers/ScriptMessage.h"

// A script message on its way from the web process to the window. The page bridge that runs in
// the web process (src/WebProcessExtension) gives each main-frame document of the window
// window.webkit.messageHandlers.NAME.postMessage(body); every posted message travels as a user
// message named NAME whose parameters are (address, kind, text, number):
//   address  the posting document's address, taken when its window object was made
//   kind     what the page posted: "undefined", "null", "string", "boolean", "number" or "json";
//            "oversize" for a body whose text would be longer than kMaximumBodyBytes
//   text     a string body byte for byte, or the JSON text of an object or array; empty when
//            oversize
//   number   a number body, or 1 and 0 for true and false; the text's length when oversize
// Nothing the page does can change the address: it is captured in the web process before any
// script of the document runs, and never read again. The window reads the address first and
// decodes the body only for the service's pages.
class BridgeMessage {
  public:
    static constexpr const char* kParameterType = "(ssayd)";

    static constexpr const char* kUndefined = "undefined";
    static constexpr const char* kNull = "null";
    static constexpr const char* kString = "string";
    static constexpr const char* kBoolean = "boolean";
    static constexpr const char* kNumber = "number";
    static constexpr const char* kJson = "json";
    static constexpr const char* kOversize = "oversize";

    // The largest body text that is sent: the join page's largest message is a few hundred bytes.
    // A larger one is dropped in the web process, before it is copied into a message.
    static constexpr std::size_t kMaximumBodyBytes = 1024 * 1024;

    // The address of the posting document, without looking at the body; nullopt for parameters
    // of another shape.
    static std::optional<std::string> sender(GVariant* parameters);
    // How long a body was that the web process dropped as oversize; nullopt for any other body.
    static std::optional<double> oversize(GVariant* parameters);

    // The message as the dispatcher takes it; nullopt for parameters of another shape, an
    // oversize body, or a text longer than kMaximumBodyBytes.
    static std::optional<ScriptMessage> decode(const char* name, GVariant* parameters);
};
