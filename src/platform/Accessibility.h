#pragma once

#include "platform/AXElement.h"
#include "platform/AccessibilityVocabulary.h"
#include "platform/PlatformValue.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Other applications' user interfaces, spoken in the one accessibility vocabulary. Synchronous
// calls, main thread only, each bounded by the element's messaging timeout (a backend over another
// process answers within it or not at all). Reads never throw: a failed read is absent.
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
};

} // namespace corvane
