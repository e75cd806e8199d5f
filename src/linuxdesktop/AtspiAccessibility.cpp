#include "linuxdesktop/AtspiAccessibility.h"

#include "linuxdesktop/AtspiObjects.h"
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

namespace corvane {

namespace {

template <typename T>
using Ref = AtspiRef<T>;

// Elements searched for a scroll area's bar: the area, its children and theirs.
constexpr std::size_t maxScrollSearched = 64;

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
        G_DBUS_CALL_FLAGS_NONE, AtspiObjects::defaultTimeout, nullptr, failure.out());
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
        nullptr, G_DBUS_CALL_FLAGS_NONE, AtspiObjects::defaultTimeout, nullptr, failure.out());
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
    return reply != nullptr;
}

bool hasState(AtspiAccessible* object, AtspiStateType state) {
    Ref<AtspiStateSet> states(atspi_accessible_get_state_set(object));
    return states && atspi_state_set_contains(states.get(), state);
}

std::optional<PlatformValue> to(const std::optional<std::string>& text) {
    return text ? std::optional<PlatformValue>(*text) : std::nullopt;
}

} // namespace

AtspiAccessibility::AtspiAccessibility()
    : objects_(std::make_unique<AtspiObjects>()) {
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
        objects_->pipeline = AtspiPipeline::connect(AtspiObjects::defaultTimeout);
        // libatspi's connection is dispatched by this thread's context, never the main thread's.
        atspi_set_main_context(g_main_context_get_thread_default());
        atspi_set_timeout(AtspiObjects::defaultTimeout, AtspiObjects::defaultTimeout);
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
        const AtspiObjects::Call call(*objects_);
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
        const AtspiObjects::Call call(*objects_);
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
        const AtspiObjects::Call call(*objects_);
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
            const AtspiObjects::Call call(*objects_);
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
                    if (role && AtspiObjects::isWindowRole(*role)) {
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
            const AtspiObjects::Call call(*objects_);
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
            const AtspiObjects::Call call(*objects_);
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
            const AtspiObjects::Call call(*objects_);
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
        const AtspiObjects::Call call(*objects_);
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
        const AtspiObjects::Call call(*objects_);
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
        const std::unique_ptr<AtspiObjects, void (*)(AtspiObjects*)> done(objects_.get(),
                                                                          [](AtspiObjects* o) {
                                                                              o->batching = false;
                                                                              o->forget();
                                                                          });
        calls();
    });
}

} // namespace corvane
