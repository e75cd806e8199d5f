#include "linuxdesktop/AtspiObjects.h"

#include "linuxdesktop/AtspiVocabulary.h"

#include <algorithm>
#include <cstring>

// libatspi's object for an application's path (a new reference; null for the null path), the one
// its own calls hand out. Exported by the library, declared in its private header only.
extern "C" AtspiAccessible* _atspi_ref_accessible(const char* app, const char* path);

namespace corvane {

namespace {

// Handles kept before they are all dropped (a dropped handle reads as absent, which every user
// treats as gone).
constexpr std::size_t maxHandles = 100000;
// Elements whose reads are sent together: the one asked for and those read after it (the
// siblings a walk asks for next). Enough to hide the round trips, few enough that an application
// answers them all well within one element's time-out.
constexpr std::size_t readAhead = 24;

constexpr const char* accessibleInterface = "org.a11y.atspi.Accessible";
constexpr const char* nullPath = "/org/a11y/atspi/null";

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

std::optional<std::string> stringReply(const AtspiPipeline::Reply& reply) {
    if (!reply || !g_variant_is_of_type(reply.get(), G_VARIANT_TYPE_STRING)) {
        return std::nullopt;
    }
    return std::string(g_variant_get_string(reply.get(), nullptr));
}

} // namespace

bool AtspiObjects::isWindowRole(AtspiRole role) {
    return AtspiVocabulary::role(role, {}) == AXRole::Window;
}

void AtspiObjects::clear() {
    forget();
    for (const auto& [token, object] : byToken) {
        g_object_unref(object);
    }
    byToken.clear();
    byPath.clear();
}

// Drops what the batch read.
void AtspiObjects::forget() {
    facts.clear();
    order.clear();
    orderIndex.clear();
}

const char* AtspiObjects::busName(AtspiAccessible* object) {
    const AtspiObject* base = ATSPI_OBJECT(object);
    return base->app != nullptr && base->app->bus_name != nullptr ? base->app->bus_name : "";
}

const char* AtspiObjects::path(AtspiAccessible* object) {
    const char* path = ATSPI_OBJECT(object)->path;
    return path != nullptr ? path : "";
}

std::string AtspiObjects::key(AtspiAccessible* object) {
    return std::string(busName(object)) + '\n' + path(object);
}

// Takes over the caller's reference.
AXElement AtspiObjects::handle(AtspiAccessible* object) {
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

AtspiAccessible* AtspiObjects::object(AXElement element) const {
    const auto found = byToken.find(element.token());
    return found != byToken.end() ? found->second : nullptr;
}

AtspiObjects::Facts& AtspiObjects::factsOf(AtspiAccessible* object) {
    auto [at, added] = facts.try_emplace(object);
    if (added) {
        at->second.object.reset(static_cast<AtspiAccessible*>(g_object_ref(object)));
    }
    return at->second;
}

// `object` and the elements read after it that still lack what `done` says, at most
// readAhead of them.
template <typename Done>
std::vector<AtspiAccessible*> AtspiObjects::readTogether(AtspiAccessible* object, Done&& done) {
    std::vector<AtspiAccessible*> group{object};
    if (const auto at = orderIndex.find(object); at != orderIndex.end()) {
        for (std::size_t i = at->second + 1; i < order.size() && group.size() < readAhead; ++i) {
            AtspiAccessible* next = order[i].get();
            if (!done(factsOf(next))) {
                group.push_back(next);
            }
        }
    }
    return group;
}

AtspiObjects::Facts& AtspiObjects::basic(AtspiAccessible* object) {
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
        pipeline->send(bus, at, accessibleInterface, "GetState", nullptr, G_VARIANT_TYPE("(au)"),
                       timeout);
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

AtspiObjects::Facts& AtspiObjects::details(AtspiAccessible* object) {
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
            sent[i].extents =
                pipeline->send(bus, at, "org.a11y.atspi.Component", "GetExtents",
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

// A new reference to the object kept for the path of `fresh` (a new reference itself), so
// that what is read of it is found again under one pointer.
AtspiAccessible* AtspiObjects::known(AtspiAccessible* fresh) {
    if (const auto found = byPath.find(key(fresh)); found != byPath.end()) {
        AtspiAccessible* kept = byToken.at(found->second);
        if (kept != fresh) {
            g_object_unref(fresh);
            return static_cast<AtspiAccessible*>(g_object_ref(kept));
        }
    }
    return fresh;
}

bool AtspiObjects::hasState(AtspiAccessible* object, AtspiStateType state) {
    const std::optional<std::array<guint32, 2>>& states = basic(object).states;
    const auto bit = static_cast<unsigned>(state);
    return states && bit / 32 < states->size() && (((*states)[bit / 32] >> (bit % 32)) & 1U);
}

std::optional<std::int32_t> AtspiObjects::pid(AtspiAccessible* object) {
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
std::vector<AtspiAccessible*> AtspiObjects::children(AtspiAccessible* object, std::size_t limit) {
    std::vector<AtspiAccessible*> list;
    const gint count = basic(object).childCount;
    const auto wanted =
        static_cast<gint>(std::min<std::size_t>({limit, static_cast<std::size_t>(maxChildren),
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
            pipeline->send(bus, at, accessibleInterface, "GetChildAtIndex", g_variant_new("(i)", i),
                           G_VARIANT_TYPE("((so))"), timeout);
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

PlatformValue AtspiObjects::elementList(std::vector<AtspiAccessible*> objects) {
    PlatformValue::Array list;
    list.reserve(objects.size());
    for (AtspiAccessible* object : objects) {
        list.emplace_back(handle(object));
    }
    return PlatformValue(std::move(list));
}

// The application's window that is active (the frontmost frame); null when none is.
AtspiAccessible* AtspiObjects::activeWindow(AtspiAccessible* application) {
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

} // namespace corvane
