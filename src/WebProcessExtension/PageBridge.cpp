// The page bridge, loaded by every web process of the launcher's window (a WebKitGTK web process
// extension). It gives each new document of a page's main frame the bridge the join page uses,
// window.webkit.messageHandlers.NAME.postMessage(body), and sends every posted message to the
// window together with the address of the document that posted it (see App/BridgeMessage.h).
// A body longer than BridgeMessage::kMaximumBodyBytes is not sent: only its length is.
//
// The address is taken when the document's window object is made, before any of its scripts
// run, and each document's functions carry their own: a page that leaves (its pagehide and
// unload handlers, its timers) keeps posting with its own address, whatever the window shows by
// then. Documents of subframes get no bridge at all.
#include <webkit/webkit-web-process-extension.h>

#include <string>
#include <vector>

#include "App/BridgeMessage.h"

namespace {

class PageBridge {
  public:
    static void install(WebKitWebProcessExtension* extension, const GVariant* userData);

  private:
    // What one document's postMessage function knows.
    struct Handler {
        guint64 pageId;
        std::string name;
        std::string address;
    };

    static void onWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page,
                                      WebKitFrame* frame, gpointer);
    static void postMessage(GPtrArray* arguments, Handler* handler);
    static GVariant* parametersFor(JSCValue* body, const std::string& address);

    static inline WebKitWebProcessExtension* extension_ = nullptr;
    static inline std::vector<std::string> names_;
};

void PageBridge::install(WebKitWebProcessExtension* extension, const GVariant* userData) {
    extension_ = extension;
    // The launcher hands over the handler names. GLib reads a variant through a pointer that is
    // not const; this one is only read.
    auto* names = const_cast<GVariant*>(userData);
    if (names && g_variant_is_of_type(names, G_VARIANT_TYPE_STRING_ARRAY)) {
        gsize count = 0;
        const gchar** list = g_variant_get_strv(names, &count);
        for (gsize i = 0; i < count; ++i) names_.emplace_back(list[i]);
        g_free(list);
    }
    if (names_.empty()) {
        g_warning("Kelo page bridge: the launcher gave no message names; pages get no bridge");
        return;
    }
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                     G_CALLBACK(&PageBridge::onWindowObjectCleared), nullptr);
}

void PageBridge::onWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page,
                                       WebKitFrame* frame, gpointer) {
    // Frames inside a page (of its own host or another) never reach the launcher.
    if (!webkit_frame_is_main_frame(frame)) return;
    const char* uri = webkit_frame_get_uri(frame);
    const std::string address = uri ? uri : "";
    const guint64 pageId = webkit_web_page_get_id(page);

    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
    JSCValue* handlers = jsc_value_new_object(context, nullptr, nullptr);
    for (const std::string& name : names_) {
        JSCValue* handler = jsc_value_new_object(context, nullptr, nullptr);
        JSCValue* post = jsc_value_new_function_variadic(
            context, "postMessage", G_CALLBACK(&PageBridge::postMessage),
            new Handler{pageId, name, address},
            [](gpointer data) { delete static_cast<Handler*>(data); }, G_TYPE_NONE);
        jsc_value_object_set_property(handler, "postMessage", post);
        jsc_value_object_set_property(handlers, name.c_str(), handler);
        g_object_unref(post);
        g_object_unref(handler);
    }
    JSCValue* webkit = jsc_value_new_object(context, nullptr, nullptr);
    jsc_value_object_set_property(webkit, "messageHandlers", handlers);
    JSCValue* window = jsc_context_get_global_object(context);
    jsc_value_object_set_property(window, "webkit", webkit);
    g_object_unref(window);
    g_object_unref(webkit);
    g_object_unref(handlers);
    g_object_unref(context);
}

void PageBridge::postMessage(GPtrArray* arguments, Handler* handler) {
    // As in other web views: a message needs a body, even an undefined one.
    if (!arguments || arguments->len == 0) {
        if (JSCContext* context = jsc_context_get_current()) {
            jsc_context_throw_with_name(context, "TypeError", "Not enough arguments");
        }
        return;
    }
    WebKitWebPage* page = webkit_web_process_extension_get_page(extension_, handler->pageId);
    if (!page) return;
    GVariant* parameters =
        parametersFor(JSC_VALUE(g_ptr_array_index(arguments, 0)), handler->address);
    webkit_web_page_send_message_to_view(page,
                                         webkit_user_message_new(handler->name.c_str(), parameters),
                                         nullptr, nullptr, nullptr);
}

GVariant* PageBridge::parametersFor(JSCValue* body, const std::string& address) {
    const char* kind = BridgeMessage::kJson;
    std::string text;
    double number = 0;
    if (jsc_value_is_undefined(body)) {
        kind = BridgeMessage::kUndefined;
    } else if (jsc_value_is_null(body)) {
        kind = BridgeMessage::kNull;
    } else if (jsc_value_is_string(body)) {
        kind = BridgeMessage::kString;
        gchar* value = jsc_value_to_string(body);
        text = value ? value : "";
        g_free(value);
    } else if (jsc_value_is_boolean(body)) {
        kind = BridgeMessage::kBoolean;
        number = jsc_value_to_boolean(body) ? 1 : 0;
    } else if (jsc_value_is_number(body)) {
        kind = BridgeMessage::kNumber;
        number = jsc_value_to_double(body);
    } else {
        // Objects and arrays as JSON; what has no JSON form (a cycle, a function) arrives as
        // empty text, which the window reads as null.
        gchar* json = jsc_value_to_json(body, 0);
        text = json ? json : "";
        g_free(json);
        jsc_context_clear_exception(jsc_value_get_context(body));
    }
    // No message of the join page comes near the limit: a larger body goes no further than this
    // process, and the window learns only its length.
    if (text.size() > BridgeMessage::kMaximumBodyBytes) {
        kind = BridgeMessage::kOversize;
        number = static_cast<double>(text.size());
        std::string().swap(text);
    }
    GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, text.data(), text.size(), 1);
    return g_variant_new("(ss@ayd)", address.c_str(), kind, bytes, number);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize_with_user_data(
    WebKitWebProcessExtension* extension, const GVariant* userData) {
    PageBridge::install(extension, userData);
}
