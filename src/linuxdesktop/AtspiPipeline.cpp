#include "linuxdesktop/AtspiPipeline.h"

#include <gio/gio.h>

#include <cstdlib>

namespace corvane {

struct AtspiPipeline::Pending {
    AtspiPipeline* pipeline;
    std::size_t index;
};

void AtspiPipeline::VariantUnref::operator()(GVariant* value) const {
    g_variant_unref(value);
}

std::unique_ptr<AtspiPipeline> AtspiPipeline::connect(int timeoutMilliseconds) {
    std::string address;
    if (const char* given = std::getenv("AT_SPI_BUS_ADDRESS"); given != nullptr && *given != 0) {
        address = given;
    } else {
        GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (session == nullptr) {
            return nullptr;
        }
        GVariant* reply = g_dbus_connection_call_sync(
            session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
            G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, timeoutMilliseconds, nullptr, nullptr);
        g_object_unref(session);
        if (reply == nullptr) {
            return nullptr;
        }
        const gchar* text = nullptr;
        g_variant_get(reply, "(&s)", &text);
        address = text;
        g_variant_unref(reply);
    }
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (connection == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<AtspiPipeline>(new AtspiPipeline(connection));
}

AtspiPipeline::AtspiPipeline(GDBusConnection* connection)
    : connection_(connection)
    , context_(g_main_context_new()) {}

AtspiPipeline::~AtspiPipeline() {
    // Replies still under way are waited for: their callbacks point here.
    for (const Reply& reply : collect()) {
        (void)reply;
    }
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
    g_main_context_unref(context_);
}

std::size_t AtspiPipeline::send(const char* busName, const char* path, const char* interface,
                                const char* method, GVariant* arguments,
                                const GVariantType* replyType, int timeoutMilliseconds) {
    const std::size_t index = replies_.size();
    replies_.push_back(nullptr);
    unboxed_.push_back(false);
    // GDBus refuses such a call without ever answering it: it reads as absent at once.
    if (!g_dbus_is_name(busName) || !g_variant_is_object_path(path)) {
        if (arguments != nullptr) {
            g_variant_unref(g_variant_ref_sink(arguments));
        }
        return index;
    }
    ++waiting_;
    // The reply is dispatched by this pipeline's own context, iterated in collect() alone.
    g_main_context_push_thread_default(context_);
    g_dbus_connection_call(
        connection_, busName, path, interface, method, arguments, replyType,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMilliseconds, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            const std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
            pending->pipeline->replies_[pending->index] =
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            --pending->pipeline->waiting_;
        },
        new Pending{this, index});
    g_main_context_pop_thread_default(context_);
    return index;
}

std::size_t AtspiPipeline::property(const char* busName, const char* path, const char* interface,
                                    const char* name, int timeoutMilliseconds) {
    const std::size_t index =
        send(busName, path, "org.freedesktop.DBus.Properties", "Get",
             g_variant_new("(ss)", interface, name), G_VARIANT_TYPE("(v)"), timeoutMilliseconds);
    unboxed_[index] = true;
    return index;
}

std::vector<AtspiPipeline::Reply> AtspiPipeline::collect() {
    while (waiting_ > 0) {
        g_main_context_iteration(context_, TRUE);
    }
    std::vector<Reply> replies;
    replies.reserve(replies_.size());
    for (std::size_t i = 0; i < replies_.size(); ++i) {
        GVariant* reply = replies_[i];
        if (reply != nullptr && unboxed_[i]) {
            GVariant* boxed = nullptr;
            g_variant_get(reply, "(v)", &boxed);
            g_variant_unref(reply);
            reply = boxed;
        }
        replies.emplace_back(reply);
    }
    replies_.clear();
    unboxed_.clear();
    return replies;
}

} // namespace corvane
