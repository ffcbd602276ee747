#pragma once

#include <string>

// What the bridge asks of the window that shows the join page. Called on the main thread.
class NativeMessageHandlerDelegate {
  public:
    virtual ~NativeMessageHandlerDelegate() = default;

    // Evaluates the script in the window's web view; the window reports evaluation errors.
    virtual void executeJavaScript(const std::string& script) = 0;
    // Sets the title of the window that shows the web view; nothing while there is no window.
    virtual void updateWindowTitle(const std::string& title) = 0;
};
