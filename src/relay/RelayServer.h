#pragma once

#include "relay/DashboardEvents.h"
#include "relay/DeviceHub.h"
#include "relay/DeviceHubObserver.h"
#include "relay/RelayAccounts.h"
#include "relay/RelayPairing.h"
#include "relay/RelayRateLimit.h"

#include "relay/RelayHttp.h"

#include <QDir>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>

#include <memory>

namespace corvane {

class OAuthStore;
class RelayMcpEndpoint;
class RelayNetwork;
class RelayOAuthHttp;

// The relay on one port: HTTPS for pairing, sign-in, the dashboard's JSON API and its files, and
// WSS for the devices ("v1/ws/device"), and the dashboards' live events ("v1/events"). Main
// thread; it needs the event loop to run.
class RelayServer final : public QObject, private DeviceHubObserver {
public:
    // Pairing codes one address may ask for in ten minutes (each one is a row until it expires).
    static constexpr int codesPerAddress = 20;
    // Wrong codes one account may type in ten minutes: a signed-in guesser could otherwise take
    // over a computer whose pairing is pending.
    static constexpr int wrongCodesPerAccount = 30;

    struct Options {
        QSslConfiguration tls;
        QDir dashboard; // the dashboard's files; served by name, nothing below it
        // Connections one address may hold open (a NAT in front of many devices needs more).
        std::size_t connectionsPerAddress = 256;
        // Where assistants' authorisations are kept; none: the relay answers no OAuth paths.
        OAuthStore* oauth = nullptr;
    };

    RelayServer(RelayStore& store, Clock& clock, const ContractValidator& validator,
                Options options);
    ~RelayServer() override;

    // Listens on `address`; returns the port, 0 when it cannot.
    quint16 listen(const QHostAddress& address, quint16 port);

    // Runs the hub's time limits (a timer does this every second while listening).
    void sweep() { hub_.sweep(); }
    DeviceHub& hub() noexcept { return hub_; }
    RelayAccounts& accounts() noexcept { return accounts_; }
    DashboardEvents& events() noexcept { return events_; }
    // The authorisation server for assistants; null without Options::oauth.
    RelayOAuthHttp* oauth() noexcept { return oauth_.get(); }

private:
    RelayHttpResponse dispatch(const RelayHttpRequest& request);
    RelayHttpResponse api(const RelayHttpRequest& request, const QString& path);
    RelayHttpResponse dashboardFile(const QString& path) const;
    RelayHttpResponse eventStream(const RelayAccounts::Session& session, std::string sessionKey);
    // Ends the live events of signed-out sessions; returns how many sessions they were.
    std::size_t endSessions(const std::vector<std::string>& keys);
    // The device list changed for `accountId` (added, renamed, removed): pages fetch it again.
    void devicesChanged(std::int64_t accountId, std::string_view why);
    void deviceChanged(const std::string& deviceId, const DeviceHub::Live& live) override;
    void commandChanged(const DeviceHub::Command& command) override;

    RelayStore& store_;
    Clock& clock_;
    const ContractValidator& validator_;
    RelayPairing pairing_;
    RelayAccounts accounts_;
    DeviceHub hub_;
    DashboardEvents events_;
    RelayRateLimit codeRequests_;
    RelayRateLimit wrongCodes_;
    Options options_;
    std::unique_ptr<RelayOAuthHttp> oauth_;
    std::unique_ptr<RelayMcpEndpoint> mcp_; // with oauth_: "/mcp" for assistants
    std::unique_ptr<RelayNetwork> network_;
    QTimer sweeper_;
    std::uint64_t sweeps_ = 0;
};

} // namespace corvane
