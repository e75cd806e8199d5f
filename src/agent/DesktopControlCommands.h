#pragma once

#include "core/JSON.h"
#include "platform/Platform.h"

namespace corvane {

class Agent;

// Desktop control from the agent's own control socket (`velto desktop`), acting on the running
// Agent's one DesktopControl, so that the window, the command line and the commands share one
// state:
//   {"cmd": "desktop_status"}   consent, the granted applications and when the grant ends, the
//                               two permissions, the status line as the Connection page shows,
//                               and how the agent runs ("front_end": "window" or "headless"), so
//                               that the client's hints name what the person has
//   {"cmd": "desktop_enable"}   desktop-wide consent (the client asked the person first)
//   {"cmd": "desktop_disable"}  withdraws consent and every grant
//   {"cmd": "desktop_grant", "bundle_ids": [...]}   the limited-time grant
// Refusals answer {"ok": false, "error": code or reason, "message": sentence}. Main thread.
class DesktopControlCommands {
public:
    enum class FrontEnd { Headless, Window };

    DesktopControlCommands(Agent& agent, Platform platform, FrontEnd frontEnd = FrontEnd::Headless)
        : agent_(agent)
        , platform_(platform)
        , frontEnd_(frontEnd) {}

    JSON handle(const JSON& command);

private:
    JSON status() const;

    Agent& agent_;
    const Platform platform_;
    const FrontEnd frontEnd_;
};

} // namespace corvane
