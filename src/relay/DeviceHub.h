#pragma once

#include "core/Clock.h"
#include "core/JSON.h"
#include "relay/RelayStore.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace corvane {

class ContractValidator;
class DeviceHubObserver;
class DeviceLink;

// The device sessions and the commands routed to them. Transport-free: the server feeds it each
// opened socket, each received message and each close, and calls sweep() about once a second for
// the time limits. Main thread only.
//
// A session is anonymous until its first message, "hello", proves the device token of the id in
// the upgrade header; it is then the device's one session (a newer one replaces it) and gets
// "ready". Every message in either direction is checked against the contract.
class DeviceHub {
public:
    // Close codes the hub uses besides the WebSocket ones.
    static constexpr int closeUnauthorized = 4001;
    static constexpr int closeRevoked = 4003;
    // Policy violation: past the session's budget, or a message outside the contract.
    static constexpr int closePolicy = 1008;
    // The relay failed (its storage); the agent reconnects later and keeps its credentials.
    static constexpr int closeInternalError = 1011;

    static constexpr std::size_t largestMessage = 65536;
    static constexpr std::chrono::seconds helloLimit{10};
    // The agent heartbeats at least every 24 seconds.
    static constexpr std::chrono::seconds silenceLimit{60};
    // How far ahead a command's "expires_at" lies (the agent accepts at most 20 seconds).
    static constexpr std::chrono::seconds commandLifetime{15};
    // Past its deadline an undelivered command is given up after this grace (the agent's own).
    static constexpr std::chrono::seconds deliveryGrace{5};
    // A delivered command may still run (a tool run takes up to 12 seconds) and report late.
    static constexpr std::chrono::seconds resultLimit{45};
    // Finished commands stay readable this long, within a count and a size (oldest go first).
    static constexpr std::chrono::minutes keepFinished{10};
    struct Limits {
        std::size_t finishedKept = 10000;
        std::size_t finishedBytes = 32 * 1024 * 1024; // of their results as they arrived
        // Ends at start the audit rows an earlier process left open (not on a shared store).
        bool closeLeftOpen = true;
    };
    static constexpr std::size_t outstandingPerDevice = 32;
    // What one device may send, across its sessions (a reconnection starts with what is left): a
    // burst, refilled at a steady rate. The delivered and result of its own open commands are
    // given back once read. An agent heartbeats at most every 2 seconds with a report of a few
    // KiB, so it stays far below this; past it, the session ends with closePolicy.
    static constexpr double messageBurst = 60;
    static constexpr double messagesPerSecond = 2;
    static constexpr double byteBurst = 256.0 * 1024;
    static constexpr double bytesPerSecond = 16.0 * 1024;

    struct Live {
        bool online = false;
        JSON capabilities; // the last report, kept after the device goes offline
        std::string agentVersion;
        std::string osVersion;
        std::string reportedName;
        RelayStore::Time lastSeen;
        std::int64_t accountId = 0;
    };

    enum class CommandState { Sent, Delivered, Finished };
    struct Command {
        std::string id;
        std::int64_t accountId = 0;
        std::string deviceId;
        std::string action;
        CommandState state = CommandState::Sent;
        bool ok = false;
        JSON data;
        std::string errorCode;
        RelayStore::Time expiresAt;
    };

    DeviceHub(RelayStore& store, const Clock& clock, const ContractValidator& validator);
    DeviceHub(RelayStore& store, const Clock& clock, const ContractValidator& validator,
              Limits limits);
    ~DeviceHub();
    DeviceHub(const DeviceHub&) = delete;
    DeviceHub& operator=(const DeviceHub&) = delete;

    // Takes a write to run later, in order with the store's other work (the finish of a command's
    // audit row, which the result does not wait for); without one, it runs at once.
    using Writer = std::function<void(std::function<void(RelayStore&)>)>;
    void writeLater(Writer writer) { writeLater_ = std::move(writer); }

    // Told of each change from now on (nullptr: nobody); it must outlive the hub's use of it.
    void observe(DeviceHubObserver* observer) noexcept { observer_ = observer; }

    // A socket opened with the "X-Velto-Device-ID" header; returns its session number.
    std::uint64_t open(DeviceLink& link, std::string deviceHeader);
    void received(std::uint64_t session, std::string_view bytes);
    // The transport ended (whoever closed it).
    void closed(std::uint64_t session);
    // Applies the time limits: hello, silence, command deadlines, forgetting finished commands.
    void sweep();

    // What the device last said about itself; absent for a device never seen since start.
    std::optional<Live> live(const std::string& deviceId) const;
    std::size_t sessionCount() const noexcept { return sessions_.size(); }

    // Sends `action` with `params` to the device on behalf of `accountId` and returns the command
    // id. Throws ContractError "device_not_found" (not this account's, or revoked),
    // "device_offline", "device_busy" (too many outstanding) or "invalid_request" (the command
    // would break the contract).
    std::string send(std::int64_t accountId, const std::string& deviceId, const std::string& action,
                     const JSON& params);
    // The same for a device its caller has just read from the store.
    std::string send(std::int64_t accountId, const RelayStore::Device& device,
                     const std::string& action, const JSON& params);

    // send() in two steps, so that a caller can write the audit row without holding the thread:
    // prepare() checks and builds the command (the same refusals as send), the caller stores
    // audit(), then dispatch() sends it and returns its id. A device gone or busy by then is
    // refused as in send, and the row is finished with that code.
    struct Outgoing {
        Command command;
        JSON message;
        RelayStore::Time sentAt;
        RelayStore::Audit audit() const {
            return {command.id, command.accountId, command.deviceId, command.action, "", sentAt,
                    {}};
        }
    };
    Outgoing prepare(std::int64_t accountId, const RelayStore::Device& device,
                     const std::string& action, const JSON& params) const;
    std::string dispatch(Outgoing outgoing);

    // Commands for a device whose socket another relay holds. The sender builds the command as
    // prepare() does but without the device here, stores its audit row, hands it to the holder
    // and tracks it here (state "sent" until settled: the holder's result, or a relay code).
    Outgoing prepareElsewhere(std::int64_t accountId, const RelayStore::Device& device,
                              const std::string& action, const JSON& params) const;
    void track(const Outgoing& outgoing);
    // Ends a tracked command with what its holder said (or a relay code); the audit row is
    // finished here. A command already finished or forgotten is left as it is.
    void settle(const std::string& commandId, bool ok, JSON data, std::string errorCode);
    // The holder's side: sends another relay's command (the envelope as it built it) to the
    // device's session here, once per command id. Its audit row is the sender's, so none is
    // written here; the observer learns its end like any other's. Returns the refusal
    // ("device_offline", "device_busy", "invalid_request"), or empty when it was sent or had
    // been before.
    std::string relay(std::int64_t accountId, const std::string& deviceId,
                      const std::string& action, const JSON& message);
    // Ends the device's session here (it went to another relay); it reconnects as it would.
    void drop(const std::string& deviceId);

    // A command of `accountId`, absent when unknown, forgotten or someone else's.
    std::optional<Command> command(std::int64_t accountId, const std::string& commandId) const;
    // Revokes the device: stored at once, and an open session gets "revoke" and close 4003.
    void revoke(const std::string& deviceId);
    // The same for a device its caller has already revoked in the store.
    void revoked(const std::string& deviceId);

private:
    // What a device may still send (see messageBurst), as of refilledAt.
    struct Budget {
        double messages = messageBurst;
        double bytes = byteBurst;
        Clock::MonotonicTime refilledAt;
    };
    struct Session {
        DeviceLink* link = nullptr;
        std::string deviceHeader;
        std::string deviceId; // set once "hello" proved the token
        Clock::MonotonicTime openedAt;
        Clock::MonotonicTime lastHeard;
        // The device's entries, set with deviceId (they stay for the hub's life), so that a
        // heartbeat looks nothing up by name.
        Budget* budget = nullptr;
        Live* live = nullptr;
    };
    struct Pending {
        Command command;
        Clock::MonotonicTime sentAt;
        Clock::MonotonicTime finishedAt;
        std::size_t weight = 0; // roughly what its result holds, in bytes
        bool audited = true;    // this relay keeps its audit row (not another relay's command)
        bool elsewhere = false; // its device's socket is on another relay
    };

    void receive(std::uint64_t number, std::string_view bytes);
    void sweepNow();
    // The device's budget, refilled for the time since it was last looked at.
    Budget& budgetOf(const std::string& deviceId);
    void refill(Budget& budget) const;
    // Takes one message of `size` bytes from the budget; false when it is spent.
    bool spend(Budget& budget, std::size_t size) const;
    // Checks the hello's token before anything costly; the device, or absent after ending it.
    std::optional<RelayStore::Device> authenticate(std::uint64_t number, Session& session,
                                                   const JSON& message);
    void hello(std::uint64_t number, Session& session, const RelayStore::Device& device,
               Budget& budget, const JSON& message);
    void handle(Session& session, JSON message, std::size_t size);
    void end(std::uint64_t number, int code);
    // Ends a session after a failure of the relay's own, whatever else fails meanwhile.
    void fail(std::uint64_t number, const char* where, const std::exception& error) noexcept;
    // Validates as "RelayMessage" and sends; false when the message broke the contract.
    bool deliver(Session& session, const JSON& message);
    void deviceChanged(const std::string& deviceId);
    void commandChanged(const Command& command);
    void finish(const std::string& commandId, bool ok, JSON data, std::string errorCode,
                std::size_t weight = 0);
    Command build(std::int64_t accountId, const RelayStore::Device& device,
                  const std::string& action) const;
    // Registers an open command and its deadline.
    void open(Pending pending);
    void failOutstanding(const std::string& deviceId);
    bool busy(const std::string& deviceId) const;
    // An audit write of the hub's own, later when it has a writer; failures are logged.
    void write(std::function<void(RelayStore&)> work);
    // Forgets finished commands past their time, count or size, oldest first.
    void forgetFinished(Clock::MonotonicTime now);

    RelayStore& store_;
    const Clock& clock_;
    const ContractValidator& validator_;
    Limits limits_;
    std::uint64_t nextSession_ = 1;
    // No session's or open command's limit falls before these: until then a sweep walks neither.
    Clock::MonotonicTime nextSessionLimit_ = Clock::MonotonicTime::min();
    Clock::WallTime nextCommandLimit_ = Clock::WallTime::min();
    std::map<std::uint64_t, Session> sessions_;
    std::map<std::string, std::uint64_t, std::less<>> byDevice_;
    std::map<std::string, Live, std::less<>> live_;
    std::map<std::string, Budget, std::less<>> budgets_;
    std::map<std::string, Pending, std::less<>> commands_;
    // The ids of each device's commands not yet finished, so that sending, a device going and the
    // sweep never walk the finished ones kept for reading.
    std::map<std::string, std::set<std::string>, std::less<>> openByDevice_;
    std::deque<std::string> finishedOrder_; // finished command ids, oldest first
    std::size_t finishedWeight_ = 0;
    DeviceHubObserver* observer_ = nullptr;
    Writer writeLater_;
};

} // namespace corvane
