#pragma once

#include "relay/BlockingRelayStore.h"
#include "relay/CommandBus.h"
#include "relay/DashboardEvents.h"
#include "relay/DeviceHub.h"
#include "relay/DeviceHubObserver.h"
#include "relay/RelayAccounts.h"
#include "relay/RelayHttp.h"
#include "relay/RelayPairing.h"
#include "relay/RelayPasswords.h"
#include "relay/RelayRateLimit.h"

#include <QDir>
#include <QHostAddress>
#include <QObject>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QStringList>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

namespace corvane {

class DevicePresence;
class OAuthStore;
class RelayMcpEndpoint;
class RelayNetwork;
class RelayOAuthHttp;
class RelayStoreThread;

// The relay on one port: HTTPS for pairing, sign-in, the dashboard's JSON API and its files, and
// WSS for the devices ("v1/ws/device"), and the dashboards' live events ("v1/events"). Main
// thread; it needs the event loop to run. Requests are answered by coroutines: the store's work
// runs on its thread and Argon2id on the password pool, so that no request holds the main thread
// where every device's session lives.
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
        // Argon2id threads (0: one per core, at most 4) and the hashes that may wait or run at
        // once (past them a sign-in is refused as "rate_limited").
        int passwordThreads = 0;
        std::size_t passwordsAtOnce = RelayPasswords::defaultMostAtOnce;
        // Sign-in sessions and rate limits shared with other relays; null: this process's own.
        // They must outlive the server.
        WebSessions* sessions = nullptr;
        RateLimits* limits = nullptr;
        // Which relay holds each device's socket, and the way commands reach it: both or
        // neither (a relay on its own). They must outlive the server.
        DevicePresence* presence = nullptr;
        CommandBus* bus = nullptr;
        // Connections held at once, devices and pages together; past it new ones are turned away
        // rather than failing for want of a descriptor.
        std::size_t connections = 20000;
    };

    RelayServer(RelayStoreThread& store, Clock& clock, const ContractValidator& validator,
                Options options);
    ~RelayServer() override;

    // Listens on `address`; returns the port, 0 when it cannot.
    quint16 listen(const QHostAddress& address, quint16 port);

    // A clean stop, before the server goes: with other relays, this one's lease and claims go at
    // once, so that they serve its devices (and end the commands it held) without waiting for
    // the lease to run out. Never throws; the sockets close with the server.
    QCoro::Task<> stop();

    // Runs the hub's time limits (a timer does this every second while listening).
    void sweep() { hub_.sweep(); }
    DeviceHub& hub() noexcept { return hub_; }
    RelayAccounts& accounts() noexcept { return accounts_; }
    DashboardEvents& events() noexcept { return events_; }
    // The authorisation server for assistants; null without Options::oauth.
    RelayOAuthHttp* oauth() noexcept { return oauth_.get(); }

private:
    // Who may call a route, each including the checks of the one before it where it says so.
    enum class Caller {
        Device,   // a computer pairing: no cookie, any origin
        Bearer,   // a computer with its bootstrap token, checked after its JSON body
        Page,     // the dashboard's own origin, nobody signed in yet
        SignedIn, // the page's origin and a live session; a POST carries its CSRF token
        Stream,   // SignedIn, and the CSRF token even though it is a GET
        Owner,    // SignedIn as the account's owner
    };
    // One request as a handler sees it, copied into the handler's coroutine.
    struct Call {
        RelayHttpRequest request;
        QStringList captured; // the path pattern's groups
        std::string bearer;
        std::string cookie;
        std::string sessionKey; // the digest of the cookie
        std::optional<RelayAccounts::Session> session;
        std::optional<RelayStore::Device> device; // for a route under a device of the account
    };
    using Handler = QCoro::Task<RelayHttpResponse> (RelayServer::*)(Call);
    struct Route {
        QByteArray method;
        QRegularExpression path; // anchored; a group named "device" is a device of the account
        Caller caller;
        Handler handler;
    };
    static const std::vector<Route>& routes();

    QCoro::Task<RelayHttpResponse> dispatch(RelayHttpRequest request);
    QCoro::Task<RelayHttpResponse> api(RelayHttpRequest request);
    // The route's caller checks, filling in what they found; throws the refusal.
    QCoro::Task<Call> admit(const Route& route, Call call);
    RelayHttpResponse dashboardFile(const QString& path) const;

    QCoro::Task<RelayHttpResponse> pairingCode(Call call);
    QCoro::Task<RelayHttpResponse> pairingRedeem(Call call);
    QCoro::Task<RelayHttpResponse> pairingCancel(Call call);
    QCoro::Task<RelayHttpResponse> setUp(Call call);
    QCoro::Task<RelayHttpResponse> join(Call call);
    QCoro::Task<RelayHttpResponse> signIn(Call call);
    QCoro::Task<RelayHttpResponse> account(Call call);
    QCoro::Task<RelayHttpResponse> events(Call call);
    QCoro::Task<RelayHttpResponse> sessions(Call call);
    QCoro::Task<RelayHttpResponse> signOutOthers(Call call);
    QCoro::Task<RelayHttpResponse> changePassword(Call call);
    QCoro::Task<RelayHttpResponse> people(Call call);
    QCoro::Task<RelayHttpResponse> invite(Call call);
    QCoro::Task<RelayHttpResponse> removePerson(Call call);
    QCoro::Task<RelayHttpResponse> signOut(Call call);
    QCoro::Task<RelayHttpResponse> approvePairing(Call call);
    QCoro::Task<RelayHttpResponse> lookUpPairing(Call call);
    QCoro::Task<RelayHttpResponse> devices(Call call);
    QCoro::Task<RelayHttpResponse> sendCommand(Call call);
    QCoro::Task<RelayHttpResponse> audit(Call call);
    QCoro::Task<RelayHttpResponse> revoke(Call call);
    QCoro::Task<RelayHttpResponse> rename(Call call);
    QCoro::Task<RelayHttpResponse> command(Call call);

    // Approval and look-up of a typed code, counted against the account's wrong codes.
    QCoro::Task<RelayHttpResponse> typedCode(Call call, bool approving);
    RelayHttpResponse eventStream(const RelayAccounts::Session& session, std::string sessionKey);
    // Ends the live events of signed-out sessions; returns how many sessions they were.
    std::size_t endSessions(const std::vector<std::string>& keys);
    // The device list changed for `accountId` (added, renamed, removed): pages fetch it again.
    void devicesChanged(std::int64_t accountId, std::string_view why);
    void deviceChanged(const std::string& deviceId, const DeviceHub::Live& live) override;
    void commandChanged(const DeviceHub::Command& command) override;
    QCoro::Task<> purgeExpired();

    // Several relays: a command for a device whose socket another relay holds goes over the bus;
    // its id, or ContractError "device_offline" when no relay holds the device any more.
    // `assistant` names the assistant that sent it, for the audit.
    QCoro::Task<std::string> sendElsewhere(std::int64_t accountId, RelayStore::Device device,
                                           std::string action, JSON params, std::string assistant);
    // An assistant's tool call for a device not held here: over the bus when another relay holds
    // it, else ContractError "device_offline".
    QCoro::Task<std::string> toolCallElsewhere(std::int64_t accountId, RelayStore::Device device,
                                               std::string action, JSON params,
                                               std::string assistant);
    // Whether another relay holds the device's socket (not this one, which would hold it here).
    QCoro::Task<bool> heldElsewhere(std::string deviceId);
    // An event for this relay's dashboards and, with other relays, theirs; `deviceId` for a
    // device's report, which they keep.
    void publish(std::int64_t accountId, std::string_view type, const JSON& data,
                 const std::string& deviceId = {});
    // An event another relay published.
    void heard(CommandBus::Event event);
    // The bus's work each second, and the lease's renewal when `renewing`.
    QCoro::Task<> share(bool renewing);
    QCoro::Task<> claim(std::string deviceId, bool held);
    void carry(CommandBus::Command command);
    QCoro::Task<> answerCarried(std::string commandId, std::string body);
    void settleSent(CommandBus::Result result);

    RelayStoreThread& store_;
    BlockingRelayStore waitingStore_; // the hub's few writes, still waited for
    Clock& clock_;
    const ContractValidator& validator_;
    Options options_;
    RelayPasswords passwords_;
    RelayPairing pairing_; // used on the store's thread only
    std::unique_ptr<WebSessions> ownSessions_;
    std::unique_ptr<RateLimits> ownLimits_;
    WebSessions& sessions_;
    RateLimits& limits_;
    RelayAccounts accounts_;
    DeviceHub hub_;
    DashboardEvents events_;
    std::unique_ptr<RelayOAuthHttp> oauth_;
    std::unique_ptr<RelayMcpEndpoint> mcp_; // with oauth_: "/mcp" for assistants
    std::unique_ptr<RelayNetwork> network_;
    QTimer sweeper_;
    std::uint64_t sweeps_ = 0;
    std::set<std::string, std::less<>> claimed_; // devices this relay told the presence it holds
    std::set<std::string, std::less<>> carried_; // other relays' commands sent to devices here
    bool sharing_ = false;                       // a bus sweep or renewal is under way
    bool stopping_ = false;                      // the lease is given up: no more claims
    // What each device's report last told the other relays (a digest, when): a heartbeat that
    // changes nothing but the time goes to them at most every reportPeriod.
    struct Told {
        std::size_t digest = 0;
        Clock::MonotonicTime at;
    };
    static constexpr std::chrono::seconds reportPeriod{60};
    std::map<std::string, Told, std::less<>> told_;
    // Tasks that wait on the shared state see it gone when the server went meanwhile.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace corvane
