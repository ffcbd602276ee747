#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Handlers/NativeMessageHandlerDelegate.h"
#include "Handlers/ScriptMessage.h"
#include "Platform/LogLimiter.h"

// The one place where the join page's script messages are understood: it keeps the page's small
// pieces of state in the launcher's defaults, answers the page's questions through its delegate,
// writes the proxy settings file and hands a joined session to the agent installer.
//
// Messages arrive on the main thread, in the order the page posts them, each with the address of
// the document that posted it. Only the service's pages (https, on the current web server or on
// a host of the data-centre table) are heard.
class NativeMessageHandler {
  public:
    static NativeMessageHandler& shared();

    explicit NativeMessageHandler(
        std::shared_ptr<NativeMessageHandlerDelegate> nativeMessageHandlerDelegate = nullptr);

    std::shared_ptr<NativeMessageHandlerDelegate> nativeMessageHandlerDelegate() const;
    void setNativeMessageHandlerDelegate(std::shared_ptr<NativeMessageHandlerDelegate> delegate);

    // The names the page posts to (window.webkit.messageHandlers.NAME), from the one table of
    // messages and their handlers.
    static const std::vector<std::string>& messageNames();

    // Handles one message; never throws.
    void handleMessageFromWebView(const ScriptMessage& message);

    // Whether the address is one of the service's pages: https, on the current web server, the
    // launch configuration's web server or a host of the data-centre table.
    static bool isServicePage(const std::string& pageUrl);
    // Whether the bridge hears a message that the page at `pageUrl` posted under `name`: only
    // when the page is the service's. Any other page's message is dropped with a line: the first
    // from a host, then at most one a minute with the count since the line before.
    bool acceptsSender(const std::string& name, const std::string& pageUrl);
    // How many messages were dropped that way so far, held-back lines or not.
    std::uint64_t droppedMessages() const { return droppedMessages_.load(); }

    // Writes home + "/Library/Logs/KeloHelvo/ConnectionSettings.plist" from the stored proxy
    // settings; never throws.
    void setupProxyDetails();

    // Runs the hand-over of the session the page last joined again (the customer's Try again):
    // the proxy settings file, the agent check, then the install or the start.
    void tryHandOverAgain();

    NativeMessageHandler(const NativeMessageHandler&) = delete;
    NativeMessageHandler& operator=(const NativeMessageHandler&) = delete;

  private:
    struct Entry;
    static const Entry kMessages[];

    void reply(const std::string& script) const;
    void setWindowTitle(const std::string& title) const;

    void getRRSessionDigest(const ScriptMessage& message);
    void getCustomerDetails(const ScriptMessage& message);
    void sendRRSessionDigestToNative(const ScriptMessage& message);
    void sendCustomerDetailsToNative(const ScriptMessage& message);
    void sendRRSessionKeyToNative(const ScriptMessage& message);
    void sendJoinDetailsToNative(const ScriptMessage& message);
    void sendJoinReportAbuseLinkToNative(const ScriptMessage& message);
    void pellixLoaded(const ScriptMessage& message);
    void clearRRSessionDigest(const ScriptMessage& message);
    void sendPellixTitleToNative(const ScriptMessage& message);
    void clearPellixDigest(const ScriptMessage& message);
    void getProxyDetails(const ScriptMessage& message);
    void sendProxyDetailsToNative(const ScriptMessage& message);
    void getActiveSessionKey(const ScriptMessage& message);
    void clearActiveSessionKey(const ScriptMessage& message);
    void openProxy(const ScriptMessage& message);
    void getSystemOs(const ScriptMessage& message);
    void consoleHandler(const ScriptMessage& message);

    platform::LogLimiter droppedLines_;
    std::atomic<std::uint64_t> droppedMessages_{0};
    mutable std::mutex delegateMutex_;
    std::shared_ptr<NativeMessageHandlerDelegate> nativeMessageHandlerDelegate_;
};
