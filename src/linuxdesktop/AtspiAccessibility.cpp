#include "linuxdesktop/AtspiAccessibility.h"

#include "linuxdesktop/AtspiPipeline.h"
#include "linuxdesktop/AtspiVocabulary.h"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>

// libatspi's object for an application's path (a new reference; null for the null path), the one
// its own calls hand out. Exported by the library, declared in its private header only.
extern "C" AtspiAccessible* _atspi_ref_accessible(const char* app, const char* path);

namespace corvane {

namespace {

// Children read of one element at most: a list of a hundred thousand rows is not walked anyway.
constexpr gint maxChildren = 1000;
// Elements searched for the focused one or the menu bar.
constexpr std::size_t maxSearched = 2000;
// Elements searched for a scroll area's bar: the area, its children and theirs.
constexpr std::size_t maxScrollSearched = 64;
// Handles kept before they are all dropped (a dropped handle reads as absent, which every user
// treats as gone).
constexpr std::size_t maxHandles = 100000;
// Time-out of the status reads and of every call until a user sets its own.
constexpr gint defaultTimeout = 2000;
// Elements whose reads are sent together: the one asked for and those read after it (the
// siblings a walk asks for next). Enough to hide the round trips, few enough that an application
// answers them all well within one element's time-out.
constexpr std::size_t readAhead = 24;

constexpr const char* accessibleInterface = "org.a11y.atspi.Accessible";
constexpr const char* nullPath = "/org/a11y/atspi/null";

// What libatspi hands out, released on every path.
struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};

struct Free {
    void operator()(gpointer data) const { g_free(data); }
};

// A call's error is dropped: the read is absent.
class Failure {
public:
    ~Failure() {
        if (error_ != nullptr) {
            g_error_free(error_);
        }
    }
    GError** out() { return &error_; }
    bool failed() const { return error_ != nullptr; }

private:
    GError* error_ = nullptr;
};

std::optional<std::string> owned(gchar* text, const Failure& failure) {
    std::unique_ptr<gchar, Free> holder(text);
    if (failure.failed() || text == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}

// org.a11y.Status.IsEnabled on the session bus; absent when the bus launcher does not answer.
std::optional<bool> statusEnabled(GDBusConnection* bus) {
    Failure failure;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, defaultTimeout, nullptr, failure.out());
    if (reply == nullptr) {
        return std::nullopt;
    }
    GVariant* boxed = nullptr;
    g_variant_get(reply, "(v)", &boxed);
    std::optional<bool> enabled;
    if (g_variant_is_of_type(boxed, G_VARIANT_TYPE_BOOLEAN)) {
        enabled = g_variant_get_boolean(boxed) != FALSE;
    }
    g_variant_unref(boxed);
    g_variant_unref(reply);
    return enabled;
}

bool enableStatus(GDBusConnection* bus) {
    Failure failure;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)),
        nullptr, G_DBUS_CALL_FLAGS_NONE, defaultTimeout, nullptr, failure.out());
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
    return reply != nullptr;
}

bool hasState(AtspiAccessible* object, AtspiStateType state) {
    Ref<AtspiStateSet> states(atspi_accessible_get_state_set(object));
    return states && atspi_state_set_contains(states.get(), state);
}

bool isWindowRole(AtspiRole role) {
    return AtspiVocabulary::role(role, {}) == AXRole::Window;
}

// The interfaces whose reads the cache answers.
enum Interface : unsigned {
    ActionInterface = 1,
    ComponentInterface = 2,
    TextInterface = 4,
    ValueInterface = 8
};

unsigned interfaceBit(const char* name) {
    static constexpr std::array<std::pair<const char*, Interface>, 4> known{{
        {"org.a11y.atspi.Action", ActionInterface},
        {"org.a11y.atspi.Component", ComponentInterface},
        {"org.a11y.atspi.Text", TextInterface},
        {"org.a11y.atspi.Value", ValueInterface},
    }};
    for (const auto& [text, bit] : known) {
        if (std::strcmp(text, name) == 0) {
            return bit;
        }
    }
    return 0;
}

std::optional<PlatformValue> to(const std::optional<std::string>& text) {
    return text ? std::optional<PlatformValue>(*text) : std::nullopt;
}

std::optional<std::string> stringReply(const AtspiPipeline::Reply& reply) {
    if (!reply || !g_variant_is_of_type(reply.get(), G_VARIANT_TYPE_STRING)) {
        return std::nullopt;
    }
    return std::string(g_variant_get_string(reply.get(), nullptr));
}

} // namespace

struct AtspiAccessibility::Objects {
    // What one element answered during the batch that runs. A walk asks each element for its
    // role up to three times, its name, description, actions, extents, children and value: read
    // one by one, each is a round trip. They are read together, for the element and those queued
    // after it, and kept until the batch ends, so that every check a batch starts with reads
    // afresh.
    struct Facts {
        Ref<AtspiAccessible> object;
        // Role, states, name, description, interfaces and child count were read.
        bool basic = false;
        std::optional<AtspiRole> role;
        std::optional<std::array<guint32, 2>> states;
        std::optional<std::string> name;
        std::optional<std::string> description;
        unsigned interfaces = 0;
        gint childCount = -1;
        // Extents, actions and value were read.
        bool details = false;
        std::optional<AtspiRect> extents;
        std::optional<std::vector<std::string>> actions;
        std::optional<PlatformValue> value;
    };

    std::unordered_map<std::uint64_t, AtspiAccessible*> byToken;
    std::unordered_map<std::string, std::uint64_t> byPath;
    // Unique bus names are never reused while the bus runs.
    std::unordered_map<std::string, std::int32_t> pidByBusName;
    std::uint64_t next = 1;
    std::unique_ptr<AtspiPipeline> pipeline;
    gint timeout = defaultTimeout;
    bool batching = false;
    std::unordered_map<AtspiAccessible*, Facts> facts;
    // Children in the order they were read during the batch: the order a walk asks for them.
    std::vector<Ref<AtspiAccessible>> order;
    std::unordered_map<AtspiAccessible*, std::size_t> orderIndex;
    // atspi_init succeeded: atspi_exit releases what it holds.
    bool initialised = false;

    ~Objects() { clear(); }

    void clear() {
        forget();
        for (const auto& [token, object] : byToken) {
            g_object_unref(object);
        }
        byToken.clear();
        byPath.clear();
    }

    // Drops what the batch read.
    void forget() {
        facts.clear();
        order.clear();
        orderIndex.clear();
    }

    static const char* busName(AtspiAccessible* object) {
        const AtspiObject* base = ATSPI_OBJECT(object);
        return base->app != nullptr && base->app->bus_name != nullptr ? base->app->bus_name : "";
    }

    static const char* path(AtspiAccessible* object) {
        const char* path = ATSPI_OBJECT(object)->path;
        return path != nullptr ? path : "";
    }

    static std::string key(AtspiAccessible* object) {
        return std::string(busName(object)) + '\n' + path(object);
    }

    // Takes over the caller's reference.
    AXElement handle(AtspiAccessible* object) {
        if (object == nullptr) {
            return AXElement();
        }
        const std::string path = key(object);
        if (const auto found = byPath.find(path); found != byPath.end()) {
            g_object_unref(object);
            return AXElement(found->second);
        }
        if (byToken.size() >= maxHandles) {
            clear();
        }
        const std::uint64_t token = next++;
        byToken.emplace(token, object);
        byPath.emplace(path, token);
        return AXElement(token);
    }

    AtspiAccessible* object(AXElement element) const {
        const auto found = byToken.find(element.token());
        return found != byToken.end() ? found->second : nullptr;
    }

    Facts& factsOf(AtspiAccessible* object) {
        auto [at, added] = facts.try_emplace(object);
        if (added) {
            at->second.object.reset(static_cast<AtspiAccessible*>(g_object_ref(object)));
        }
        return at->second;
    }

    // `object` and the elements read after it that still lack what `done` says, at most
    // readAhead of them.
    template <typename Done>
    std::vector<AtspiAccessible*> readTogether(AtspiAccessible* object, Done&& done) {
        std::vector<AtspiAccessible*> group{object};
        if (const auto at = orderIndex.find(object); at != orderIndex.end()) {
            for (std::size_t i = at->second + 1; i < order.size() && group.size() < readAhead;
                 ++i) {
                AtspiAccessible* next = order[i].get();
                if (!done(factsOf(next))) {
                    group.push_back(next);
                }
            }
        }
        return group;
    }

    Facts& basic(AtspiAccessible* object) {
        Facts& wanted = factsOf(object);
        if (wanted.basic || !pipeline) {
            return wanted;
        }
        const std::vector<AtspiAccessible*> group =
            readTogether(object, [](const Facts& f) { return f.basic; });
        constexpr std::size_t calls = 6;
        for (AtspiAccessible* member : group) {
            const char* bus = busName(member);
            const char* at = path(member);
            pipeline->send(bus, at, accessibleInterface, "GetRole", nullptr, G_VARIANT_TYPE("(u)"),
                           timeout);
            pipeline->send(bus, at, accessibleInterface, "GetState", nullptr,
                           G_VARIANT_TYPE("(au)"), timeout);
            pipeline->property(bus, at, accessibleInterface, "Name", timeout);
            pipeline->property(bus, at, accessibleInterface, "Description", timeout);
            pipeline->send(bus, at, accessibleInterface, "GetInterfaces", nullptr,
                           G_VARIANT_TYPE("(as)"), timeout);
            pipeline->property(bus, at, accessibleInterface, "ChildCount", timeout);
        }
        const std::vector<AtspiPipeline::Reply> replies = pipeline->collect();
        for (std::size_t i = 0; i < group.size(); ++i) {
            Facts& f = factsOf(group[i]);
            const AtspiPipeline::Reply* reply = &replies[i * calls];
            f.basic = true;
            if (reply[0]) {
                guint32 role = 0;
                g_variant_get(reply[0].get(), "(u)", &role);
                f.role = static_cast<AtspiRole>(role);
            }
            if (reply[1]) {
                std::array<guint32, 2> words{0, 0};
                GVariantIter* iter = nullptr;
                g_variant_get(reply[1].get(), "(au)", &iter);
                guint32 word = 0;
                for (std::size_t n = 0; g_variant_iter_next(iter, "u", &word); ++n) {
                    if (n < words.size()) {
                        words[n] = word;
                    }
                }
                g_variant_iter_free(iter);
                f.states = words;
            }
            f.name = stringReply(reply[2]);
            f.description = stringReply(reply[3]);
            if (reply[4]) {
                GVariantIter* iter = nullptr;
                const gchar* name = nullptr;
                g_variant_get(reply[4].get(), "(as)", &iter);
                while (g_variant_iter_next(iter, "&s", &name)) {
                    f.interfaces |= interfaceBit(name);
                }
                g_variant_iter_free(iter);
            }
            if (reply[5] && g_variant_is_of_type(reply[5].get(), G_VARIANT_TYPE_INT32)) {
                f.childCount = g_variant_get_int32(reply[5].get());
            }
        }
        return wanted;
    }

    Facts& details(AtspiAccessible* object) {
        Facts& wanted = basic(object);
        if (wanted.details || !pipeline) {
            return wanted;
        }
        const std::vector<AtspiAccessible*> group =
            readTogether(object, [](const Facts& f) { return f.details; });
        for (AtspiAccessible* member : group) {
            basic(member);
        }
        struct Sent {
            std::optional<std::size_t> extents, actions, text, value;
        };
        std::vector<Sent> sent(group.size());
        for (std::size_t i = 0; i < group.size(); ++i) {
            const Facts& f = factsOf(group[i]);
            const char* bus = busName(group[i]);
            const char* at = path(group[i]);
            if ((f.interfaces & ComponentInterface) != 0) {
                sent[i].extents = pipeline->send(
                    bus, at, "org.a11y.atspi.Component", "GetExtents",
                    g_variant_new("(u)", static_cast<guint32>(ATSPI_COORD_TYPE_SCREEN)),
                    G_VARIANT_TYPE("((iiii))"), timeout);
            }
            if ((f.interfaces & ActionInterface) != 0) {
                sent[i].actions = pipeline->send(bus, at, "org.a11y.atspi.Action", "GetActions",
                                                 nullptr, G_VARIANT_TYPE("(a(sss))"), timeout);
            }
            // A password field's text is never asked for, nor that of an element whose role
            // could not be read.
            if (!f.role || *f.role == ATSPI_ROLE_PASSWORD_TEXT) {
                continue;
            }
            if ((f.interfaces & TextInterface) != 0) {
                sent[i].text =
                    pipeline->send(bus, at, "org.a11y.atspi.Text", "GetText",
                                   g_variant_new("(ii)", 0, -1), G_VARIANT_TYPE("(s)"), timeout);
            } else if ((f.interfaces & ValueInterface) != 0) {
                sent[i].value =
                    pipeline->property(bus, at, "org.a11y.atspi.Value", "CurrentValue", timeout);
            }
        }
        const std::vector<AtspiPipeline::Reply> replies = pipeline->collect();
        for (std::size_t i = 0; i < group.size(); ++i) {
            Facts& f = factsOf(group[i]);
            f.details = true;
            if (sent[i].extents && replies[*sent[i].extents]) {
                AtspiRect rect{};
                g_variant_get(replies[*sent[i].extents].get(), "((iiii))", &rect.x, &rect.y,
                              &rect.width, &rect.height);
                f.extents = rect;
            }
            if ((f.interfaces & ActionInterface) == 0) {
                f.actions.emplace();
            } else if (replies[*sent[i].actions]) {
                GVariantIter* iter = nullptr;
                const gchar* name = nullptr;
                f.actions.emplace();
                g_variant_get(replies[*sent[i].actions].get(), "(a(sss))", &iter);
                while (g_variant_iter_next(iter, "(&s&s&s)", &name, nullptr, nullptr)) {
                    f.actions->emplace_back(name);
                }
                g_variant_iter_free(iter);
            }
            if (sent[i].text && replies[*sent[i].text]) {
                const gchar* text = nullptr;
                g_variant_get(replies[*sent[i].text].get(), "(&s)", &text);
                f.value = PlatformValue(std::string(text));
            }
            if (sent[i].value && replies[*sent[i].value] &&
                g_variant_is_of_type(replies[*sent[i].value].get(), G_VARIANT_TYPE_DOUBLE)) {
                f.value = PlatformValue(g_variant_get_double(replies[*sent[i].value].get()));
            }
        }
        return wanted;
    }

    // One call of the port: outside a batch, what it read is dropped when it ends.
    class Call {
    public:
        explicit Call(Objects& objects)
            : objects_(objects) {}
        ~Call() {
            if (!objects_.batching) {
                objects_.forget();
            }
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        Objects& objects_;
    };

    // A new reference to the object kept for the path of `fresh` (a new reference itself), so
    // that what is read of it is found again under one pointer.
    AtspiAccessible* known(AtspiAccessible* fresh) {
        if (const auto found = byPath.find(key(fresh)); found != byPath.end()) {
            AtspiAccessible* kept = byToken.at(found->second);
            if (kept != fresh) {
                g_object_unref(fresh);
                return static_cast<AtspiAccessible*>(g_object_ref(kept));
            }
        }
        return fresh;
    }

    std::optional<AtspiRole> role(AtspiAccessible* object) { return basic(object).role; }

    bool hasState(AtspiAccessible* object, AtspiStateType state) {
        const std::optional<std::array<guint32, 2>>& states = basic(object).states;
        const auto bit = static_cast<unsigned>(state);
        return states && bit / 32 < states->size() && (((*states)[bit / 32] >> (bit % 32)) & 1U);
    }

    std::optional<std::int32_t> pid(AtspiAccessible* object) {
        const AtspiObject* base = ATSPI_OBJECT(object);
        if (base->app == nullptr || base->app->bus_name == nullptr) {
            return std::nullopt;
        }
        const std::string bus = base->app->bus_name;
        if (const auto found = pidByBusName.find(bus); found != pidByBusName.end()) {
            return found->second;
        }
        if (!pipeline) {
            return std::nullopt;
        }
        pipeline->send("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                       "GetConnectionUnixProcessID", g_variant_new("(s)", bus.c_str()),
                       G_VARIANT_TYPE("(u)"), timeout);
        const std::vector<AtspiPipeline::Reply> replies = pipeline->collect();
        guint32 id = 0;
        if (replies[0]) {
            g_variant_get(replies[0].get(), "(u)", &id);
        }
        if (id == 0) {
            return std::nullopt;
        }
        pidByBusName.emplace(bus, static_cast<std::int32_t>(id));
        return static_cast<std::int32_t>(id);
    }

    // New references to the element's first children, at most `limit` (and maxChildren): one
    // call for the list, or for a longer list one call per child kept, sent together. Those kept
    // are read ahead in this order.
    std::vector<AtspiAccessible*> children(AtspiAccessible* object,
                                           std::size_t limit = maxChildren) {
        std::vector<AtspiAccessible*> list;
        const gint count = basic(object).childCount;
        const auto wanted = static_cast<gint>(
            std::min<std::size_t>({limit, static_cast<std::size_t>(maxChildren),
                                   static_cast<std::size_t>(std::max(count, 0))}));
        if (wanted == 0 || !pipeline) {
            return list;
        }
        const char* bus = busName(object);
        const char* at = path(object);
        auto add = [this, &list](GVariant* reference) {
            const gchar* name = nullptr;
            const gchar* childPath = nullptr;
            g_variant_get(reference, "(&s&o)", &name, &childPath);
            if (std::strcmp(childPath, nullPath) != 0 && *name != 0) {
                if (AtspiAccessible* child = _atspi_ref_accessible(name, childPath)) {
                    list.push_back(known(child));
                }
            }
        };
        bool listed = false;
        if (wanted == count) {
            pipeline->send(bus, at, accessibleInterface, "GetChildren", nullptr,
                           G_VARIANT_TYPE("(a(so))"), timeout);
            const std::vector<AtspiPipeline::Reply> replies = pipeline->collect();
            if (replies[0]) {
                listed = true;
                GVariant* array = g_variant_get_child_value(replies[0].get(), 0);
                const gsize size = std::min<gsize>(g_variant_n_children(array), wanted);
                for (gsize i = 0; i < size; ++i) {
                    GVariant* reference = g_variant_get_child_value(array, i);
                    add(reference);
                    g_variant_unref(reference);
                }
                g_variant_unref(array);
            }
        }
        if (!listed) {
            // Longer than wanted, or a toolkit that does not list children at once.
            for (gint i = 0; i < wanted; ++i) {
                pipeline->send(bus, at, accessibleInterface, "GetChildAtIndex",
                               g_variant_new("(i)", i), G_VARIANT_TYPE("((so))"), timeout);
            }
            for (const AtspiPipeline::Reply& reply : pipeline->collect()) {
                if (reply) {
                    GVariant* reference = g_variant_get_child_value(reply.get(), 0);
                    add(reference);
                    g_variant_unref(reference);
                }
            }
        }
        if (batching) {
            for (AtspiAccessible* child : list) {
                if (orderIndex.emplace(child, order.size()).second) {
                    order.emplace_back(static_cast<AtspiAccessible*>(g_object_ref(child)));
                }
            }
        }
        return list;
    }

    PlatformValue elementList(std::vector<AtspiAccessible*> objects) {
        PlatformValue::Array list;
        list.reserve(objects.size());
        for (AtspiAccessible* object : objects) {
            list.emplace_back(handle(object));
        }
        return PlatformValue(std::move(list));
    }

    // The application's window that is active (the frontmost frame); null when none is.
    AtspiAccessible* activeWindow(AtspiAccessible* application) {
        AtspiAccessible* active = nullptr;
        for (AtspiAccessible* window : children(application)) {
            const std::optional<AtspiRole> role = this->role(window);
            if (active == nullptr && role && isWindowRole(*role) &&
                hasState(window, ATSPI_STATE_ACTIVE)) {
                active = window;
            } else {
                g_object_unref(window);
            }
        }
        return active;
    }

    // The first element under `root` (breadth first, bounded) that `match` accepts; null when
    // none is. Takes over the reference to `root`.
    template <typename Match>
    AtspiAccessible* find(AtspiAccessible* root, Match&& match, std::size_t limit = maxSearched) {
        std::vector<AtspiAccessible*> queue{root};
        AtspiAccessible* found = nullptr;
        std::size_t at = 0;
        for (; at < queue.size() && found == nullptr && at < limit; ++at) {
            if (match(queue[at])) {
                found = queue[at];
                queue[at] = nullptr;
                break;
            }
            std::vector<AtspiAccessible*> next = children(queue[at]);
            queue.insert(queue.end(), next.begin(), next.end());
        }
        for (AtspiAccessible* object : queue) {
            if (object != nullptr) {
                g_object_unref(object);
            }
        }
        return found;
    }
};

AtspiAccessibility::AtspiAccessibility()
    : objects_(std::make_unique<Objects>()) {
    thread_ = std::make_unique<AtspiThread>([this] {
        GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (session != nullptr) {
            // Applications started from now on expose their interfaces.
            const std::optional<bool> enabled = statusEnabled(session);
            if (enabled == false && enableStatus(session)) {
                wasOff_ = true;
            }
            g_object_unref(session);
        }
        if (atspi_init() != 0) {
            return;
        }
        objects_->initialised = true;
        objects_->pipeline = AtspiPipeline::connect(defaultTimeout);
        // libatspi's connection is dispatched by this thread's context, never the main thread's.
        atspi_set_main_context(g_main_context_get_thread_default());
        atspi_set_timeout(defaultTimeout, defaultTimeout);
        // Read through the pipeline, not libatspi's desktop: after an earlier instance's
        // atspi_exit that one stays tied to the connection closed then.
        Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
        reachable_ =
            desktop && objects_->pipeline && objects_->basic(desktop.get()).childCount >= 0;
        objects_->forget();
    });
}

AtspiAccessibility::~AtspiAccessibility() {
    thread_->call<void>([this] {
        objects_->clear();
        objects_->pipeline.reset();
        if (objects_->initialised) {
            atspi_exit();
        }
    });
    thread_.reset();
}

void AtspiAccessibility::requestTrust() {
    // Nothing to wait for: the answer shows in the applications started afterwards.
    thread_->post([] {
        if (GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
            enableStatus(session);
            g_object_unref(session);
        }
    });
}

AXElement AtspiAccessibility::applicationElement(std::int32_t pid) {
    return thread_->call<AXElement>([this, pid] {
        const Objects::Call call(*objects_);
        Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
        if (!desktop) {
            return AXElement();
        }
        AtspiAccessible* found = nullptr;
        for (AtspiAccessible* application : objects_->children(desktop.get())) {
            if (found == nullptr && objects_->pid(application) == pid) {
                found = application;
            } else {
                g_object_unref(application);
            }
        }
        return objects_->handle(found);
    });
}

void AtspiAccessibility::setMessagingTimeout(AXElement, std::chrono::milliseconds timeout) {
    const auto milliseconds =
        static_cast<gint>(std::clamp<std::int64_t>(timeout.count(), 1, 60000));
    thread_->call<void>([this, milliseconds] {
        objects_->timeout = milliseconds;
        atspi_set_timeout(milliseconds, milliseconds);
    });
}

std::optional<AXRoleTerm> AtspiAccessibility::role(AXElement element) const {
    return thread_->call<std::optional<AXRoleTerm>>([this, element]() -> std::optional<AXRoleTerm> {
        const Objects::Call call(*objects_);
        AtspiAccessible* object = objects_->object(element);
        if (object == nullptr) {
            return std::nullopt;
        }
        const std::optional<AtspiRole> role = objects_->role(object);
        if (!role) {
            return std::nullopt;
        }
        const std::unique_ptr<gchar, Free> name(atspi_role_get_name(*role));
        return AtspiVocabulary::role(*role, name ? name.get() : "");
    });
}

std::optional<AXSubrole> AtspiAccessibility::subrole(AXElement element) const {
    return thread_->call<std::optional<AXSubrole>>([this, element]() -> std::optional<AXSubrole> {
        const Objects::Call call(*objects_);
        AtspiAccessible* object = objects_->object(element);
        if (object == nullptr) {
            return std::nullopt;
        }
        const std::optional<AtspiRole> role = objects_->role(object);
        return role ? AtspiVocabulary::subrole(*role) : std::nullopt;
    });
}

std::optional<PlatformValue> AtspiAccessibility::attribute(AXElement element,
                                                           AXAttribute attribute) const {
    return thread_->call<std::optional<PlatformValue>>(
        [this, element, attribute]() -> std::optional<PlatformValue> {
            const Objects::Call call(*objects_);
            AtspiAccessible* object = objects_->object(element);
            if (object == nullptr) {
                return std::nullopt;
            }
            Failure failure;
            switch (attribute) {
            case AXAttribute::Title:
                return to(objects_->basic(object).name);
            case AXAttribute::Description:
                return to(objects_->basic(object).description);
            case AXAttribute::Identifier: {
                gchar* id = atspi_accessible_get_accessible_id(object, failure.out());
                return owned(id, failure);
            }
            case AXAttribute::Value:
                // Never read of a password field (see details()).
                return objects_->details(object).value;
            case AXAttribute::Enabled:
                return PlatformValue(objects_->hasState(object, ATSPI_STATE_ENABLED));
            case AXAttribute::Focused:
                return PlatformValue(objects_->hasState(object, ATSPI_STATE_FOCUSED));
            case AXAttribute::Minimized:
                return PlatformValue(objects_->hasState(object, ATSPI_STATE_ICONIFIED));
            case AXAttribute::Position:
            case AXAttribute::Size: {
                const std::optional<AtspiRect>& rect = objects_->details(object).extents;
                if (!rect) {
                    return std::nullopt;
                }
                if (attribute == AXAttribute::Position) {
                    return PlatformValue(QPointF(rect->x, rect->y));
                }
                if (rect->width < 0 || rect->height < 0) {
                    return std::nullopt;
                }
                return PlatformValue(QSizeF(rect->width, rect->height));
            }
            case AXAttribute::Children:
                return objects_->elementList(objects_->children(object));
            case AXAttribute::Windows: {
                std::vector<AtspiAccessible*> windows;
                for (AtspiAccessible* child : objects_->children(object)) {
                    const std::optional<AtspiRole> role = objects_->role(child);
                    if (role && isWindowRole(*role)) {
                        windows.push_back(child);
                    } else {
                        g_object_unref(child);
                    }
                }
                return objects_->elementList(std::move(windows));
            }
            case AXAttribute::MainWindow:
            case AXAttribute::FocusedWindow: {
                AtspiAccessible* window = objects_->activeWindow(object);
                if (window == nullptr) {
                    return std::nullopt;
                }
                return PlatformValue(objects_->handle(window));
            }
            case AXAttribute::FocusedElement: {
                AtspiAccessible* window = objects_->activeWindow(object);
                if (window == nullptr) {
                    return std::nullopt;
                }
                AtspiAccessible* focused =
                    objects_->find(window, [this](AtspiAccessible* candidate) {
                        return objects_->hasState(candidate, ATSPI_STATE_FOCUSED);
                    });
                if (focused == nullptr) {
                    return std::nullopt;
                }
                return PlatformValue(objects_->handle(focused));
            }
            case AXAttribute::MenuBar: {
                AtspiAccessible* window = objects_->activeWindow(object);
                if (window == nullptr) {
                    return std::nullopt;
                }
                AtspiAccessible* bar = objects_->find(window, [this](AtspiAccessible* candidate) {
                    return objects_->role(candidate) == ATSPI_ROLE_MENU_BAR;
                });
                if (bar == nullptr) {
                    return std::nullopt;
                }
                return PlatformValue(objects_->handle(bar));
            }
            case AXAttribute::CloseButton:
                // The window manager draws it; applications do not expose it.
                return std::nullopt;
            }
            return std::nullopt;
        });
}

std::optional<PlatformValue> AtspiAccessibility::children(AXElement element,
                                                          std::size_t limit) const {
    return thread_->call<std::optional<PlatformValue>>(
        [this, element, limit]() -> std::optional<PlatformValue> {
            const Objects::Call call(*objects_);
            AtspiAccessible* object = objects_->object(element);
            if (object == nullptr) {
                return std::nullopt;
            }
            return objects_->elementList(objects_->children(object, limit));
        });
}

namespace {

std::optional<std::vector<std::string>> actionNames(AtspiAccessible* object) {
    Ref<AtspiAction> action{atspi_accessible_get_action_iface(object)};
    std::vector<std::string> names;
    if (!action) {
        return names;
    }
    Failure failure;
    const gint count = atspi_action_get_n_actions(action.get(), failure.out());
    if (failure.failed()) {
        return std::nullopt;
    }
    for (gint i = 0; i < count; ++i) {
        Failure one;
        std::optional<std::string> name =
            owned(atspi_action_get_action_name(action.get(), i, one.out()), one);
        if (!name) {
            return std::nullopt;
        }
        names.push_back(std::move(*name));
    }
    return names;
}

std::optional<AtspiRect> extents(AtspiAccessible* object) {
    Ref<AtspiComponent> component{atspi_accessible_get_component_iface(object)};
    if (!component) {
        return std::nullopt;
    }
    Failure failure;
    std::unique_ptr<AtspiRect, Free> rect(
        atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, failure.out()));
    if (failure.failed() || rect == nullptr) {
        return std::nullopt;
    }
    return *rect;
}

// A vertical scroll bar: its state says so, or (Qt names no orientation) its shape.
bool verticalScrollBar(AtspiAccessible* object) {
    Failure failure;
    if (atspi_accessible_get_role(object, failure.out()) != ATSPI_ROLE_SCROLL_BAR ||
        failure.failed()) {
        return false;
    }
    if (hasState(object, ATSPI_STATE_VERTICAL)) {
        return true;
    }
    if (hasState(object, ATSPI_STATE_HORIZONTAL)) {
        return false;
    }
    const std::optional<AtspiRect> rect = extents(object);
    return rect && rect->height > rect->width;
}

// Scrolls a scroll area by three quarters of its height through its vertical scroll bar (a child,
// or in Qt a child of the bar's container).
bool scrollByPage(AtspiAccessible* area, bool up, AtspiAccessible* bar) {
    Ref<AtspiValue> value{atspi_accessible_get_value_iface(bar)};
    const std::optional<AtspiRect> rect = extents(area);
    if (!value || !rect) {
        return false;
    }
    Failure failure;
    const double current = atspi_value_get_current_value(value.get(), failure.out());
    const double minimum = atspi_value_get_minimum_value(value.get(), failure.out());
    const double maximum = atspi_value_get_maximum_value(value.get(), failure.out());
    if (failure.failed() || !(maximum > minimum)) {
        return false;
    }
    const double page = std::max(1.0, rect->height * 0.75);
    const double target = std::clamp(current + (up ? -page : page), minimum, maximum);
    return atspi_value_set_current_value(value.get(), target, failure.out()) && !failure.failed();
}

} // namespace

std::optional<std::vector<AXActionTerm>> AtspiAccessibility::actions(AXElement element) const {
    return thread_->call<std::optional<std::vector<AXActionTerm>>>(
        [this, element]() -> std::optional<std::vector<AXActionTerm>> {
            const Objects::Call call(*objects_);
            AtspiAccessible* object = objects_->object(element);
            if (object == nullptr) {
                return std::nullopt;
            }
            const std::optional<std::vector<std::string>>& names =
                objects_->details(object).actions;
            if (!names) {
                return std::nullopt;
            }
            // One entry per term: GTK offers both "click" and "press" for one press.
            std::vector<AXActionTerm> terms;
            for (const std::string& name : *names) {
                AXActionTerm term = AtspiVocabulary::action(name);
                if (std::find(terms.begin(), terms.end(), term) == terms.end()) {
                    terms.push_back(std::move(term));
                }
            }
            return terms;
        });
}

std::optional<std::string> AtspiAccessibility::actionDescription(AXElement element,
                                                                 const AXActionTerm& action) const {
    return thread_->call<std::optional<std::string>>(
        [this, element, action]() -> std::optional<std::string> {
            const Objects::Call call(*objects_);
            AtspiAccessible* object = objects_->object(element);
            const std::optional<std::vector<std::string>> names =
                object != nullptr ? actionNames(object) : std::nullopt;
            const std::optional<int> index =
                names ? AtspiVocabulary::actionIndex(*names, action) : std::nullopt;
            if (!index) {
                return std::nullopt;
            }
            Ref<AtspiAction> iface{atspi_accessible_get_action_iface(object)};
            Failure failure;
            return owned(atspi_action_get_action_description(iface.get(), *index, failure.out()),
                         failure);
        });
}

std::optional<std::int32_t> AtspiAccessibility::pid(AXElement element) const {
    return thread_->call<std::optional<std::int32_t>>(
        [this, element]() -> std::optional<std::int32_t> {
            AtspiAccessible* object = objects_->object(element);
            return object != nullptr ? objects_->pid(object) : std::nullopt;
        });
}

bool AtspiAccessibility::perform(AXElement element, const AXActionTerm& action) {
    return thread_->call<bool>([this, element, action] {
        const Objects::Call call(*objects_);
        AtspiAccessible* object = objects_->object(element);
        if (object == nullptr) {
            return false;
        }
        if (action == AXAction::ScrollUpByPage || action == AXAction::ScrollDownByPage) {
            g_object_ref(object);
            AtspiAccessible* bar = objects_->find(
                object,
                [object](AtspiAccessible* candidate) {
                    return candidate != object && verticalScrollBar(candidate);
                },
                maxScrollSearched);
            if (bar == nullptr) {
                return false;
            }
            const bool scrolled = scrollByPage(object, action == AXAction::ScrollUpByPage, bar);
            g_object_unref(bar);
            return scrolled;
        }
        const std::optional<std::vector<std::string>> names = actionNames(object);
        const std::optional<int> index =
            names ? AtspiVocabulary::actionIndex(*names, action) : std::nullopt;
        if (!index) {
            return false;
        }
        Ref<AtspiAction> iface{atspi_accessible_get_action_iface(object)};
        Failure failure;
        return atspi_action_do_action(iface.get(), *index, failure.out()) && !failure.failed();
    });
}

bool AtspiAccessibility::setAttribute(AXElement element, AXAttribute attribute,
                                      const PlatformValue& value) {
    return thread_->call<bool>([this, element, attribute, value] {
        AtspiAccessible* object = objects_->object(element);
        if (object == nullptr) {
            return false;
        }
        Failure failure;
        if (attribute == AXAttribute::Focused && value.boolean() == true) {
            Ref<AtspiComponent> component{atspi_accessible_get_component_iface(object)};
            return component && atspi_component_grab_focus(component.get(), failure.out()) &&
                   !failure.failed();
        }
        if (attribute == AXAttribute::Value && value.string() != nullptr) {
            Ref<AtspiEditableText> text{atspi_accessible_get_editable_text_iface(object)};
            return text &&
                   atspi_editable_text_set_text_contents(text.get(), value.string()->c_str(),
                                                         failure.out()) &&
                   !failure.failed();
        }
        return false;
    });
}

std::optional<AXElement> AtspiAccessibility::elementAtPosition(double x, double y) const {
    return thread_->call<std::optional<AXElement>>([this, x, y]() -> std::optional<AXElement> {
        const Objects::Call call(*objects_);
        if (!std::isfinite(x) || !std::isfinite(y)) {
            return std::nullopt;
        }
        const auto px = static_cast<gint>(std::lround(x));
        const auto py = static_cast<gint>(std::lround(y));
        Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
        if (!desktop) {
            return std::nullopt;
        }
        // The active window is in front of every other one.
        AtspiAccessible* window = nullptr;
        for (AtspiAccessible* application : objects_->children(desktop.get())) {
            if (window == nullptr) {
                window = objects_->activeWindow(application);
            }
            g_object_unref(application);
        }
        if (window == nullptr) {
            return std::nullopt;
        }
        // Toolkits answer with a direct child: descend until nothing deeper is there.
        AtspiAccessible* hit = nullptr;
        AtspiAccessible* at = window;
        for (int depth = 0; depth < 64; ++depth) {
            Ref<AtspiComponent> component{atspi_accessible_get_component_iface(at)};
            Failure failure;
            AtspiAccessible* deeper =
                component ? atspi_component_get_accessible_at_point(
                                component.get(), px, py, ATSPI_COORD_TYPE_SCREEN, failure.out())
                          : nullptr;
            if (deeper == nullptr || failure.failed() || deeper == at) {
                if (deeper != nullptr) {
                    g_object_unref(deeper);
                }
                break;
            }
            if (at != window) {
                g_object_unref(at);
            }
            at = deeper;
            hit = deeper;
        }
        if (hit == nullptr) {
            // Within the window, on no child of it: the window itself, if the point is on it.
            Ref<AtspiComponent> component{atspi_accessible_get_component_iface(window)};
            Failure failure;
            if (!component || !atspi_component_contains(component.get(), px, py,
                                                        ATSPI_COORD_TYPE_SCREEN, failure.out())) {
                g_object_unref(window);
                return std::nullopt;
            }
            return objects_->handle(window);
        }
        g_object_unref(window);
        return objects_->handle(hit);
    });
}

QCoro::Task<void> AtspiAccessibility::batch(std::function<void()> calls) {
    return thread_->run([this, calls = std::move(calls)] {
        objects_->batching = true;
        // Dropped however the batch ends: the next one reads afresh.
        const std::unique_ptr<Objects, void (*)(Objects*)> done(objects_.get(), [](Objects* o) {
            o->batching = false;
            o->forget();
        });
        calls();
    });
}

} // namespace corvane
