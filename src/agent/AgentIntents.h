#pragma once

#include "actions/AppInventory.h"
#include "core/JSON.h"

#include <qcoro/qcorotask.h>

#include <string>
#include <vector>

namespace corvane {

// What the window asks of the Agent; everything it shows it reads from the Agent's published
// fields. Each call returns at once (the outcome arrives as a published change) unless it says
// otherwise. Main thread only.
class AgentIntents {
public:
    virtual ~AgentIntents() = default;

    // Pairing and the relay.
    virtual void pair() = 0;
    virtual void continuePairing() = 0;
    virtual void cancelPairing() = 0;
    virtual void dashboard() = 0;
    // The relay text the window has stored as the user default "relay".
    virtual void setRelay(std::string relay) = 0;
    virtual void revoke() = 0;
    virtual void confirmDashboardRevocation() = 0;

    // Desktop control. Enabling and stopping throw the consent store's error.
    virtual void enableDesktop() = 0;
    virtual void stopDesktop() = 0;
    virtual void requestAccessibility() = 0;
    virtual bool desktopWide() const = 0;

    // This computer, its apps and the Shortcut allowlist.
    virtual void refreshDeviceState() = 0;
    virtual void runLocalAction(std::string action, JSON params) = 0;
    virtual void saveShortcut(const std::string& name) = 0;
    virtual void removeShortcut(const std::string& name) = 0;
    // Read off the main thread; every caller while one read runs shares it.
    virtual QCoro::Task<std::vector<AppInventory::Entry>> applications(bool refresh) = 0;

protected:
    AgentIntents() = default;
    AgentIntents(const AgentIntents&) = default;
    AgentIntents& operator=(const AgentIntents&) = default;
};

} // namespace corvane
