#include "CorvaneMac/MacAdapter.h"

#include "CorvaneMac/AccessibilityOnMac.h"
#include "CorvaneMac/FocusModesOnMac.h"
#include "CorvaneMac/InputOnMac.h"

namespace corvane {

MacAdapter::MacAdapter(MacPorts ports)
    : ports_(ports)
    , accessibility_(std::make_unique<AccessibilityOnMac>(ports.accessibility))
    , input_(std::make_unique<InputOnMac>(ports.input))
    , focusModes_(std::make_unique<FocusModesOnMac>(ports.workspace, ports.accessibility,
                                                    ports.input, ports.clock)) {}

MacAdapter::~MacAdapter() = default;

Accessibility& MacAdapter::accessibility() {
    return *accessibility_;
}

Input& MacAdapter::input() {
    return *input_;
}

FocusModes& MacAdapter::focusModes() {
    return *focusModes_;
}

} // namespace corvane
