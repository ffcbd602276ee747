#pragma once

#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

// One script message posted by a page in the window (window.webkit.messageHandlers.NAME
// .postMessage(body)), as the window hands it to NativeMessageHandler: the handler name, the
// body exactly as the page sent it, and the address of the document that posted it. Only
// documents of the window's main frame can post; the address is the one the document had when
// it was made, known in the web process, never a guess from what the window shows.
struct ScriptMessage {
    // The registered handler name the page posted to.
    std::string name;
    // The posted value: nullopt when the page sent nothing (undefined); otherwise the value as a
    // JSON value of its own kind: string, number, boolean, null, object or array. A string body
    // is kept byte for byte (UTF-8), never parsed.
    std::optional<nlohmann::json> body;
    // The full address of the document that posted the message.
    std::string pageUrl;

    ScriptMessage() = default;
    ScriptMessage(std::string messageName, std::optional<nlohmann::json> messageBody,
                  std::string senderPageUrl)
        : name(std::move(messageName)),
          body(std::move(messageBody)),
          pageUrl(std::move(senderPageUrl)) {}

    // The body when it is a string, else nullptr.
    const std::string* bodyString() const {
        return body && body->is_string() ? body->get_ptr<const std::string*>() : nullptr;
    }
};
