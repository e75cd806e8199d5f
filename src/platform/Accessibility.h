#pragma once

#include "platform/AXElement.h"
#include "platform/AccessibilityVocabulary.h"
#include "platform/PlatformValue.h"

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Other applications' user interfaces, spoken in the one accessibility vocabulary. Each call is
// bounded by the element's messaging timeout (a backend over another process answers within it or
// not at all). Reads never throw: a failed read is absent.
//
// Calls are synchronous. A backend that reaches other processes runs them on a thread of its own:
// its users hand a sequence of calls (a window search, a walk, the checks before an act) to
// batch(), which runs them there while the main thread awaits. A backend in this process (the
// simulated Mac) runs a batch inline, before batch() returns.
class Accessibility {
public:
    virtual ~Accessibility() = default;

    // Whether this process is trusted to control other applications (never prompts).
    virtual bool isTrusted() const = 0;
    // Asks the system to show its trust prompt; the answer comes later, if at all.
    virtual void requestTrust() = 0;

    virtual AXElement applicationElement(std::int32_t pid) = 0;
    // Bounds every later call to another process through this element.
    virtual void setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) = 0;

    // What the element is; absent when it cannot be read or is empty.
    virtual std::optional<AXRoleTerm> role(AXElement element) const = 0;
    // Absent when it cannot be read or is none the vocabulary knows.
    virtual std::optional<AXSubrole> subrole(AXElement element) const = 0;
    // An attribute's value (texts, numbers, booleans, elements, points, sizes); absent when it
    // cannot be read.
    virtual std::optional<PlatformValue> attribute(AXElement element,
                                                   AXAttribute attribute) const = 0;
    // attribute(Children) for a reader that keeps no more than the first `limit` children: a
    // backend over another process may read only those (the list's other entries as given).
    virtual std::optional<PlatformValue> children(AXElement element, std::size_t limit) const {
        static_cast<void>(limit);
        return attribute(element, AXAttribute::Children);
    }
    // The actions the element offers, in its order; absent when they cannot be read.
    virtual std::optional<std::vector<AXActionTerm>> actions(AXElement element) const = 0;
    virtual std::optional<std::string> actionDescription(AXElement element,
                                                         const AXActionTerm& action) const = 0;
    // Process id of the element's application; absent when it cannot be read.
    virtual std::optional<std::int32_t> pid(AXElement element) const = 0;

    // False when the application reports an accessibility error.
    virtual bool perform(AXElement element, const AXActionTerm& action) = 0;
    virtual bool setAttribute(AXElement element, AXAttribute attribute,
                              const PlatformValue& value) = 0;
    // Hit test of the whole screen at a point in screen coordinates.
    virtual std::optional<AXElement> elementAtPosition(double x, double y) const = 0;

    // Runs `calls` where this backend makes its calls; the awaiting coroutine resumes with their
    // end or exception. They may use this port, a clock's readings and the caller's own locals,
    // nothing that lives on the main thread: on a backend over other processes they run on
    // another thread while the main thread goes on.
    virtual QCoro::Task<void> batch(std::function<void()> calls) {
        calls();
        co_return;
    }
};

} // namespace corvane
