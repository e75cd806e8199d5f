#include "actions/DesktopWindows.h"

#include "actions/ObservationPreparationError.h"
#include "core/ContractError.h"

#include <algorithm>

namespace corvane::DesktopWindows {

namespace {

// The reads of one window search, all bounded by its deadline.
class GuardedReader {
public:
    GuardedReader(const Accessibility& accessibility, const Clock& clock,
                  Clock::MonotonicTime deadline)
        : accessibility_(accessibility)
        , clock_(clock)
        , deadline_(deadline) {}

    void checkDeadline() const {
        if (clock_.monotonicNow() >= deadline_) {
            throw ObservationPreparationError();
        }
    }

    // One read of `element`, bounded by the deadline on both sides.
    template <typename Read>
    auto read(Read&& reading) const {
        checkDeadline();
        auto value = reading(accessibility_);
        checkDeadline();
        return value;
    }

    std::optional<PlatformValue> read(AXElement element, AXAttribute attribute) const {
        return read([&](const Accessibility& ax) { return ax.attribute(element, attribute); });
    }

private:
    const Accessibility& accessibility_;
    const Clock& clock_;
    const Clock::MonotonicTime deadline_;
};

// Minimised as a yes or no: a number (the platform's booleans are numbers too).
std::optional<bool> minimizedValue(const std::optional<PlatformValue>& value) {
    if (!value) {
        return std::nullopt;
    }
    if (const std::optional<bool> b = value->boolean()) {
        return b;
    }
    if (const std::optional<double> n = value->number()) {
        return *n != 0;
    }
    return std::nullopt;
}

ObservationWindow candidate(Accessibility& accessibility, const GuardedReader& reader,
                            AXElement window) {
    accessibility.setMessagingTimeout(window, messagingTimeout);
    reader.checkDeadline();
    ObservationWindow described;
    described.processID = accessibility.pid(window).value_or(0);
    described.role = reader.read([&](const Accessibility& ax) { return ax.role(window); });
    described.subrole = reader.read([&](const Accessibility& ax) { return ax.subrole(window); });
    described.minimized = minimizedValue(reader.read(window, AXAttribute::Minimized));
    reader.checkDeadline();
    described.bounds = rect(accessibility, window);
    reader.checkDeadline();
    return described;
}

std::vector<AXElement> elementList(const std::optional<PlatformValue>& value) {
    std::vector<AXElement> elements;
    const PlatformValue::Array* array = value ? value->array() : nullptr;
    if (array == nullptr) {
        return elements;
    }
    for (const PlatformValue& entry : *array) {
        if (const std::optional<AXElement> element = entry.element()) {
            elements.push_back(*element);
        }
    }
    return elements;
}

} // namespace

std::string text(const Accessibility& accessibility, AXElement element, AXAttribute attribute) {
    const std::optional<PlatformValue> value = accessibility.attribute(element, attribute);
    return value && value->string() != nullptr ? *value->string() : std::string();
}

std::optional<QRectF> rect(const Accessibility& accessibility, AXElement element) {
    const std::optional<PlatformValue> position =
        accessibility.attribute(element, AXAttribute::Position);
    if (!position || !position->point()) {
        return std::nullopt;
    }
    const std::optional<PlatformValue> size = accessibility.attribute(element, AXAttribute::Size);
    if (!size || !size->size()) {
        return std::nullopt;
    }
    return QRectF(*position->point(), *size->size());
}

bool secure(const Accessibility& accessibility, AXElement element) {
    if (accessibility.subrole(element) == AXSubrole::SecureTextField) {
        return true;
    }
    const std::optional<AXRoleTerm> role = accessibility.role(element);
    return role && *role == AXRole::SecureTextField;
}

AXElement safeWindow(Accessibility& accessibility, std::int32_t pid) {
    const AXElement application = accessibility.applicationElement(pid);
    accessibility.setMessagingTimeout(application, messagingTimeout);
    const std::optional<PlatformValue> focused =
        accessibility.attribute(application, AXAttribute::FocusedWindow);
    const std::optional<AXElement> window = focused ? focused->element() : std::nullopt;
    if (!window) {
        throw ContractError("desktop_window_unavailable");
    }
    if (accessibility.subrole(*window) == AXSubrole::SystemDialog) {
        throw ContractError("desktop_protected_ui");
    }
    return *window;
}

FrontWindow frontWindow(Accessibility& accessibility, std::int32_t pid) {
    FrontWindow front;
    try {
        front.window = safeWindow(accessibility, pid);
        front.title = text(accessibility, front.window, AXAttribute::Title);
    } catch (...) {
        front.error = std::current_exception();
    }
    return front;
}

QCoro::Task<FrontWindow> awaitFrontWindow(Accessibility* accessibility, std::int32_t pid) {
    FrontWindow front;
    co_await accessibility->batch(
        [&front, accessibility, pid] { front = frontWindow(*accessibility, pid); });
    co_return front;
}

std::size_t observationWindowIndex(const std::vector<ObservationWindow>& windows,
                                   std::int32_t processID, std::optional<std::size_t> focused,
                                   std::optional<std::size_t> main) {
    if (focused && *focused < windows.size()) {
        const ObservationWindow& window = windows[*focused];
        if (window.processID != processID || window.subrole == AXSubrole::SystemDialog) {
            throw ContractError("desktop_protected_ui");
        }
        if (!window.usable()) {
            throw ContractError("desktop_window_unavailable");
        }
        return *focused;
    }
    // A system dialog anywhere (of whatever process) means a person must answer it first.
    if (std::any_of(windows.begin(), windows.end(), [](const ObservationWindow& w) {
            return w.subrole == AXSubrole::SystemDialog;
        })) {
        throw ContractError("desktop_protected_ui");
    }
    std::vector<std::size_t> standard;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const ObservationWindow& w = windows[i];
        if (w.processID == processID && w.subrole == AXSubrole::StandardWindow && w.usable()) {
            standard.push_back(i);
        }
    }
    if (main && std::find(standard.begin(), standard.end(), *main) != standard.end()) {
        return *main;
    }
    if (standard.size() == 1) {
        return standard.front();
    }
    throw ContractError("desktop_window_unavailable");
}

AXElement observationWindow(Accessibility& accessibility, const Clock& clock, std::int32_t pid,
                            Clock::MonotonicTime deadline) {
    const GuardedReader reader(accessibility, clock, deadline);
    const AXElement application = accessibility.applicationElement(pid);
    accessibility.setMessagingTimeout(application, messagingTimeout);

    const std::optional<PlatformValue> focusedValue =
        reader.read(application, AXAttribute::FocusedWindow);
    if (const std::optional<AXElement> focused =
            focusedValue ? focusedValue->element() : std::nullopt) {
        const std::vector<ObservationWindow> one{candidate(accessibility, reader, *focused)};
        observationWindowIndex(one, pid, 0, std::nullopt);
        return *focused;
    }

    std::vector<AXElement> windows = elementList(reader.read(application, AXAttribute::Windows));
    if (windows.size() > maxWindows) {
        throw ContractError("desktop_window_unavailable");
    }
    std::optional<std::size_t> mainIndex;
    const std::optional<PlatformValue> mainValue =
        reader.read(application, AXAttribute::MainWindow);
    if (const std::optional<AXElement> main = mainValue ? mainValue->element() : std::nullopt) {
        const auto found = std::find(windows.begin(), windows.end(), *main);
        mainIndex = static_cast<std::size_t>(found - windows.begin());
        if (found == windows.end()) {
            windows.push_back(*main);
        }
    }
    std::vector<ObservationWindow> candidates;
    candidates.reserve(windows.size());
    for (const AXElement window : windows) {
        candidates.push_back(candidate(accessibility, reader, window));
    }
    return windows[observationWindowIndex(candidates, pid, std::nullopt, mainIndex)];
}

} // namespace corvane::DesktopWindows
