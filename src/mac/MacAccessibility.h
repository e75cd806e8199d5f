#pragma once

#include "platform/AXElement.h"
#include "platform/PlatformValue.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The Mac's accessibility interface to other applications' user interfaces, in its own names
// ("AXRole", "AXPress", ...). Synchronous calls, main thread only. Reads never throw: a failed read
// is absent. Only the Mac adapter reads it; the actions see the vocabulary of Accessibility.
class MacAccessibility {
public:
    virtual ~MacAccessibility() = default;

    // Whether this process is trusted to control other applications (never prompts).
    virtual bool isTrusted() const = 0;
    // Asks the system to show its trust prompt; the answer comes later, if at all.
    virtual void requestTrust() = 0;

    virtual AXElement applicationElement(std::int32_t pid) = 0;
    virtual AXElement systemWideElement() = 0;
    // Bounds every later call to another process through this element.
    virtual void setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) = 0;

    // An attribute's value ("AXRole", "AXChildren", "AXPosition", "AXValue", ...); absent when it
    // cannot be read.
    virtual std::optional<PlatformValue> attribute(AXElement element,
                                                   const std::string& name) const = 0;
    // Names of the actions the element offers; absent when they cannot be read.
    virtual std::optional<std::vector<std::string>> actionNames(AXElement element) const = 0;
    virtual std::optional<std::string> actionDescription(AXElement element,
                                                         const std::string& action) const = 0;
    // Process id of the element's application; absent when it cannot be read.
    virtual std::optional<std::int32_t> pid(AXElement element) const = 0;

    // False when the application reports an accessibility error.
    virtual bool performAction(AXElement element, const std::string& action) = 0;
    virtual bool setAttribute(AXElement element, const std::string& name,
                              const PlatformValue& value) = 0;
    // Hit test of the whole screen at a point in screen coordinates.
    virtual std::optional<AXElement> elementAtPosition(double x, double y) const = 0;
};

} // namespace corvane
