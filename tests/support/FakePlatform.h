#pragma once

// One stand-in for every platform port, each scriptable through public fields and recording what it
// was asked. What a test does not set answers "nothing".

#include "core/ContractError.h"
#include "mac/MacAdapter.h"
#include "mac/MacScripting.h"
#include "platform/Platform.h"
#include "platform/QtProcessRunner.h"
#include "platform/ScreenState.h"
#include "platform/UserDefaultsError.h"
#include "support/VirtualClock.h"

#include <algorithm>
#include <coroutine>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace corvane::test {

// The value at `key` in `map`, or nothing.
template <typename Map, typename Key>
std::optional<typename Map::mapped_type> valueAt(const Map& map, const Key& key) {
    const auto it = map.find(key);
    return it == map.end() ? std::nullopt : std::optional(it->second);
}

class FakeWorkspace final : public Workspace, public MacBundles {
public:
    std::vector<RunningApplication> running;
    std::optional<RunningApplication> front;
    OSVersion os{14, 5, 0, "Version 14.5 (Build 23F79)"};
    std::map<std::string, PlatformValue::Dictionary> bundles; // by path
    std::map<std::string, std::string> installed;             // bundle id -> path

    // How a running application answers a quit request.
    enum class QuitBehaviour { Quits, Refuses, Stays /* a save prompt holds it open */ };
    std::map<std::int32_t, QuitBehaviour> onQuit; // Quits when not listed
    // Whether an activation request brings the application to the front.
    bool activationWorks = true;
    bool openURLWorks = true;
    // An open starts an instance of the bundle unless one runs; or fails with this code.
    std::optional<std::string> openFailure;
    std::int32_t nextPid = 900;

    std::vector<std::string> opened;        // bundle paths
    std::vector<std::string> openedURLs;    // URL texts
    std::vector<std::int32_t> activations;  // pids
    std::vector<std::int32_t> quitRequests; // pids

    std::vector<RunningApplication> runningApplications() const override { return running; }
    std::optional<RunningApplication> frontmostApplication() const override { return front; }
    std::optional<std::string> applicationPath(const std::string& bundleID) const override {
        return valueAt(installed, bundleID);
    }
    std::optional<PlatformValue::Dictionary> bundleInfo(const std::string& path) const override {
        bundleInfoAsked.push_back(path);
        return valueAt(bundles, path);
    }
    QCoro::Task<void> openApplication(std::string path, bool activate) override {
        opened.push_back(path);
        if (openFailure) {
            throw ContractError(*openFailure);
        }
        const auto info = valueAt(bundles, path);
        const auto id = info ? valueAt(*info, "CFBundleIdentifier") : std::nullopt;
        if (!id || id->string() == nullptr) {
            co_return;
        }
        const std::string bundleID = *id->string();
        const auto it = std::find_if(running.begin(), running.end(),
                                     [&](const auto& a) { return a.bundleID == bundleID; });
        if (it == running.end()) {
            RunningApplication started;
            started.pid = nextPid++;
            started.bundleID = bundleID;
            started.bundlePath = path;
            running.push_back(started);
        }
        if (activate && activationWorks) {
            for (RunningApplication& a : running) {
                a.active = a.bundleID == bundleID;
            }
        }
        co_return;
    }
    bool openURL(const std::string& url) override {
        openedURLs.push_back(url);
        return openURLWorks;
    }
    bool activate(std::int32_t pid) override {
        activations.push_back(pid);
        if (!activationWorks) {
            return false;
        }
        for (RunningApplication& a : running) {
            a.active = a.pid == pid;
        }
        return true;
    }
    bool terminate(std::int32_t pid) override {
        quitRequests.push_back(pid);
        const auto behaviour = onQuit.find(pid);
        if (behaviour != onQuit.end() && behaviour->second == QuitBehaviour::Refuses) {
            return false;
        }
        if (behaviour == onQuit.end() || behaviour->second == QuitBehaviour::Quits) {
            std::erase_if(running, [&](const auto& a) { return a.pid == pid; });
        }
        return true;
    }
    std::string hostName() const override { return "host"; }
    OSVersion osVersion() const override { return os; }

    mutable std::vector<std::string> bundleInfoAsked;
};

// The console records the lock-state verdict reads; set() writes them for one of the four states,
// a test may also write them outright.
class FakeConsole final : public MacConsoleSession {
public:
    std::optional<RootProperties> root;
    std::optional<PlatformValue> session;
    std::uint32_t uid = 501;
    bool legacyTool = false;
    // Reads of the registry that fail (throw) before it answers again.
    mutable int failures = 0;

    FakeConsole() { set(ScreenState::Unlocked); }
    void set(ScreenState state) {
        root.reset();
        session.reset();
        if (state == ScreenState::Unknown) {
            return;
        }
        const PlatformValue::Dictionary record{{"kCGSSessionOnConsoleKey", PlatformValue(true)},
                                               {"kCGSSessionUserIDKey", PlatformValue(int(uid))}};
        root = RootProperties{PlatformValue(PlatformValue::Array{PlatformValue(record)}),
                              PlatformValue(state == ScreenState::Locked)};
        session = PlatformValue(PlatformValue::Dictionary{
            {"kCGSSessionUserIDKey", PlatformValue(int(uid))},
            {"kCGSSessionOnConsoleKey", PlatformValue(state != ScreenState::Inactive)}});
    }

    std::optional<RootProperties> rootProperties() const override {
        if (failures > 0) {
            --failures;
            throw std::runtime_error("console registry unavailable");
        }
        return root;
    }
    std::optional<PlatformValue> sessionDictionary() const override { return session; }
    std::uint32_t userID() const override { return uid; }
    bool legacyLockToolPresent() const override { return legacyTool; }
};

struct FakeElement {
    std::map<std::string, PlatformValue, std::less<>> attributes = {};
    std::vector<std::pair<std::string, std::string>> actions = {}; // name, description
    // Answers a performed action; when empty, an action succeeds exactly when it is listed.
    std::function<bool(const std::string& action)> onAction = {};
};

// A small element tree: each element has attributes, named actions with descriptions, and an
// optional reaction to its actions. Elements not added read as nothing.
class FakeAccessibility final : public MacAccessibility {
public:
    using Node = FakeElement;
    bool trusted = true;
    std::map<std::uint64_t, Node> nodes;
    std::map<std::int32_t, AXElement> applications; // pid -> application element
    std::vector<std::pair<AXElement, std::string>> performed;
    std::vector<std::pair<AXElement, std::chrono::milliseconds>> timeouts;
    // Called on every attribute read (a test may move a clock or change the tree there).
    std::function<void()> onRead;

    AXElement add(Node node = {}) {
        const AXElement element(nextToken_++);
        nodes[element.token()] = std::move(node);
        return element;
    }
    Node& node(AXElement element) { return nodes.at(element.token()); }
    void setChildren(AXElement parent, const std::vector<AXElement>& children) {
        PlatformValue::Array list;
        for (const AXElement child : children) {
            list.emplace_back(child);
        }
        node(parent).attributes.insert_or_assign("AXChildren", PlatformValue(std::move(list)));
    }

    bool isTrusted() const override { return trusted; }
    void requestTrust() override {}
    AXElement applicationElement(std::int32_t pid) override {
        const auto it = applications.find(pid);
        return it == applications.end() ? AXElement{} : it->second;
    }
    AXElement systemWideElement() override { return {}; }
    void setMessagingTimeout(AXElement element, std::chrono::milliseconds timeout) override {
        timeouts.emplace_back(element, timeout);
    }
    std::optional<PlatformValue> attribute(AXElement element,
                                           const std::string& name) const override {
        if (onRead) {
            onRead();
        }
        const auto node = valueAt(nodes, element.token());
        return node ? valueAt(node->attributes, name) : std::nullopt;
    }
    std::optional<std::vector<std::string>> actionNames(AXElement element) const override {
        const auto node = valueAt(nodes, element.token());
        if (!node) {
            return std::nullopt;
        }
        std::vector<std::string> names;
        for (const auto& action : node->actions) {
            names.push_back(action.first);
        }
        return names;
    }
    std::optional<std::string> actionDescription(AXElement element,
                                                 const std::string& action) const override {
        const auto node = valueAt(nodes, element.token());
        return node ? valueAt(std::map(node->actions.begin(), node->actions.end()), action)
                    : std::nullopt;
    }
    std::optional<std::int32_t> pid(AXElement) const override { return std::nullopt; }
    bool performAction(AXElement element, const std::string& action) override {
        performed.emplace_back(element, action);
        const auto it = nodes.find(element.token());
        if (it == nodes.end()) {
            return false;
        }
        if (it->second.onAction) {
            return it->second.onAction(action);
        }
        return std::any_of(it->second.actions.begin(), it->second.actions.end(),
                           [&](const auto& a) { return a.first == action; });
    }
    bool setAttribute(AXElement, const std::string&, const PlatformValue&) override {
        return false;
    }
    std::optional<AXElement> elementAtPosition(double, double) const override {
        return std::nullopt;
    }

private:
    std::uint64_t nextToken_ = 1;
};

class FakeInput final : public MacInputEvents {
public:
    bool canCreate = true;
    std::vector<KeyStroke> sessionKeys;
    // Called after a key was posted to the session (a test makes the computer react there).
    std::function<void(const KeyStroke&)> onSessionKey;

    bool postKeyToProcess(const KeyStroke&, std::int32_t) override { return false; }
    bool postKeyToSession(const KeyStroke& stroke) override {
        if (!canCreate) {
            return false;
        }
        sessionKeys.push_back(stroke);
        if (onSessionKey) {
            onSessionKey(stroke);
        }
        return true;
    }
    bool postClick(double, double, MouseButton, int) override { return false; }
    bool postScroll(double, double, std::int32_t) override { return false; }
};

class FakeScripting final : public MacScripting {
public:
    // Replies by exact script text; any other script gets `next`.
    std::map<std::string, Result> replies;
    Result next = PlatformValue::Array{};
    std::map<std::string, Permission> permissions;
    std::vector<std::string> sources;
    mutable std::vector<std::string> permissionQueries;

    Result run(const std::string& source) override {
        sources.push_back(source);
        const auto it = replies.find(source);
        return it == replies.end() ? next : it->second;
    }
    Permission automationPermission(const std::string& bundleID) const override {
        permissionQueries.push_back(bundleID);
        const auto it = permissions.find(bundleID);
        return it == permissions.end() ? Permission::NotDetermined : it->second;
    }
};

// The sound output as a level and a mute flag; a failing output throws from every call.
class FakeAudioOutput final : public AudioOutput {
public:
    std::optional<State> state; // absent: unreadable
    ControlResult answer = ControlResult::Done;
    bool fails = false;
    std::vector<std::string> requests; // "volume 35", "muted true"

    QCoro::Task<std::optional<State>> read() override {
        check();
        co_return std::optional<State>(state);
    }
    QCoro::Task<ControlResult> setVolume(int level) override {
        check();
        requests.push_back("volume " + std::to_string(level));
        if (answer == ControlResult::Done) {
            state = State{.volume = level, .muted = state && state->muted};
        }
        co_return answer;
    }
    QCoro::Task<ControlResult> setMuted(bool muted) override {
        check();
        requests.push_back(muted ? "muted true" : "muted false");
        if (answer == ControlResult::Done) {
            state = State{.volume = state ? state->volume : 0, .muted = muted};
        }
        co_return answer;
    }

private:
    void check() const {
        if (fails) {
            throw std::runtime_error("sound server unavailable");
        }
    }
};

inline const MediaPlayers::Player music{"com.apple.Music", "Music"};
inline const MediaPlayers::Player spotify{"com.spotify.client", "Spotify"};

// Players by id: which run (in preference order), which may be automated, what each plays. Every
// call is recorded as "<call> <id>" ("permitted", "playing", "playpause", "next", "previous").
class FakeMediaPlayers final : public MediaPlayers {
public:
    std::vector<Player> players;
    std::set<std::string> permitted;
    std::map<std::string, Track> tracks; // unlisted: stopped or not answering
    ControlResult answer = ControlResult::Done;
    bool fails = false;
    std::vector<std::string> calls;

    QCoro::Task<std::vector<Player>> running() override {
        check();
        co_return std::vector<Player>(players);
    }
    QCoro::Task<bool> automationPermitted(Player player) override {
        check();
        calls.push_back("permitted " + player.id);
        co_return permitted.contains(player.id);
    }
    QCoro::Task<std::optional<Track>> nowPlaying(Player player) override {
        check();
        calls.push_back("playing " + player.id);
        co_return valueAt(tracks, player.id);
    }
    QCoro::Task<ControlResult> send(Player player, Command command) override {
        check();
        const char* name = command == Command::PlayPause ? "playpause"
                           : command == Command::Next    ? "next"
                                                         : "previous";
        calls.push_back(name + (" " + player.id));
        co_return answer;
    }

private:
    void check() const {
        if (fails) {
            throw std::runtime_error("player bus unavailable");
        }
    }
};

class FakePower final : public MacPower {
public:
    std::optional<PlatformValue> sources;
    SleepOutcome outcome = SleepOutcome::Unavailable;
    int sleepRequests = 0;

    std::optional<PlatformValue> powerSources() const override { return sources; }
    SleepOutcome requestSleep() override {
        ++sleepRequests;
        return outcome;
    }
};

class FakeHost final : public HostStats {
public:
    std::optional<Memory> mem;
    std::optional<BootTime> boot;
    ThermalState thermal = ThermalState::Nominal;
    bool lowPower = false;
    VolumeCapacity volume;

    std::optional<Memory> memory() const override { return mem; }
    std::optional<BootTime> bootTime() const override { return boot; }
    ThermalState thermalState() const override { return thermal; }
    bool lowPowerMode() const override { return lowPower; }
    VolumeCapacity homeVolumeCapacity() const override { return volume; }
};

class FakeCatalog final : public AppCatalog {
public:
    std::optional<std::vector<std::string>> indexedApplications() const override {
        return std::nullopt;
    }
    std::optional<WireTime::Instant> lastUsedDate(const std::string&) const override {
        return std::nullopt;
    }
    std::vector<std::string> directoryRoots() const override { return {}; }
};

class FakeCapture final : public ScreenCapture {
public:
    bool allowed = false;

    bool preflight() const override { return allowed; }
    void request() override {}
    QCoro::Task<std::variant<std::vector<Window>, Error>> shareableWindows() override {
        co_return Error{-1};
    }
    QCoro::Task<std::optional<QImage>> capture(std::uint32_t, int, int) override {
        co_return std::nullopt;
    }
};

class FakeKeychain final : public Keychain {
public:
    Status copy(const Query&, std::string&) override { return Status::NotFound; }
    Status update(const Query&, const std::string&) override { return Status::Other; }
    Status add(const Query&, const std::string&) override { return Status::Other; }
    Status remove(const Query&) override { return Status::NotFound; }
};

class FakeLoginItems final : public LoginItems {
public:
    Status status() const override { return Status::NotRegistered; }
    bool registerItem() override { return false; }
    bool unregisterItem() override { return false; }
};

// Tools that end after a given number of polls with a given status, or never.
class FakeProcessRunner final : public ProcessRunner {
public:
    struct Script {
        int pollsBeforeExit = 0; // -1: runs until terminated
        int status = 0;
    };
    std::deque<Script> scripts;
    std::vector<std::vector<std::string>> started; // path, then the arguments
    int polls = 0;
    int terminations = 0;
    bool failToStart = false;

    std::unique_ptr<Process> start(const std::string& path,
                                   const std::vector<std::string>& arguments) override {
        if (failToStart) {
            throw ProcessStartError(path + ": no such tool");
        }
        std::vector<std::string> call{path};
        call.insert(call.end(), arguments.begin(), arguments.end());
        started.push_back(std::move(call));
        const Script script = scripts.empty() ? Script{} : scripts.front();
        if (!scripts.empty()) {
            scripts.pop_front();
        }
        return std::make_unique<FakeProcess>(*this, script);
    }

private:
    class FakeProcess final : public Process {
    public:
        FakeProcess(FakeProcessRunner& runner, Script script)
            : runner_(runner)
            , script_(script) {}
        std::optional<int> exitStatus() override {
            const int seen = runner_.polls++ - firstPoll_;
            if (terminated_) {
                return 143;
            }
            if (script_.pollsBeforeExit >= 0 && seen >= script_.pollsBeforeExit) {
                return script_.status;
            }
            return std::nullopt;
        }
        void terminate() override {
            ++runner_.terminations;
            terminated_ = true;
        }

    private:
        FakeProcessRunner& runner_;
        Script script_;
        int firstPoll_ = runner_.polls;
        bool terminated_ = false;
    };
};

// The real runner, counting the requests to end a tool.
class WatchedProcessRunner final : public ProcessRunner {
public:
    std::shared_ptr<int> terminations = std::make_shared<int>(0);

    std::unique_ptr<Process> start(const std::string& path,
                                   const std::vector<std::string>& arguments) override {
        return std::make_unique<Watched>(inner_.start(path, arguments), terminations);
    }

private:
    class Watched final : public Process {
    public:
        Watched(std::unique_ptr<Process> inner, std::shared_ptr<int> terminations)
            : inner_(std::move(inner))
            , terminations_(std::move(terminations)) {}
        std::optional<int> exitStatus() override { return inner_->exitStatus(); }
        void terminate() override {
            ++*terminations_;
            inner_->terminate();
        }

    private:
        std::unique_ptr<Process> inner_;
        std::shared_ptr<int> terminations_;
    };
    QtProcessRunner inner_;
};

// Typed like the real store: a value read as another type is absent.
class MemoryDefaults final : public UserDefaults {
public:
    using Value = std::variant<bool, std::int64_t, std::string, std::vector<std::string>>;
    std::map<std::string, Value> values;
    // Every write fails as a store whose folder cannot be written does, changing nothing.
    bool refuseWrites = false;

    std::optional<bool> boolValue(const std::string& key) const override { return get<bool>(key); }
    std::optional<std::int64_t> integerValue(const std::string& key) const override {
        return get<std::int64_t>(key);
    }
    std::optional<std::string> stringValue(const std::string& key) const override {
        return get<std::string>(key);
    }
    std::optional<std::vector<std::string>> stringListValue(const std::string& key) const override {
        return get<std::vector<std::string>>(key);
    }
    void setBool(const std::string& key, bool value) override { put(key, value); }
    void setInteger(const std::string& key, std::int64_t value) override { put(key, value); }
    void setString(const std::string& key, const std::string& value) override { put(key, value); }
    void setStringList(const std::string& key, const std::vector<std::string>& value) override {
        put(key, value);
    }
    void remove(const std::string& key) override {
        refuse(key);
        values.erase(key);
    }

private:
    void refuse(const std::string& key) const {
        if (refuseWrites) {
            throw UserDefaultsError("defaults.ini", "saving \"" + key + "\"", "access denied");
        }
    }
    void put(const std::string& key, Value value) {
        refuse(key);
        values[key] = std::move(value);
    }
    template <typename T>
    std::optional<T> get(const std::string& key) const {
        const auto it = values.find(key);
        if (it == values.end() || !std::holds_alternative<T>(it->second)) {
            return std::nullopt;
        }
        return std::get<T>(it->second);
    }
};

class FakePrompts final : public UserPrompts {
public:
    struct Alert {
        std::string message, informativeText, firstButton, secondButton;
    };
    std::deque<Answer> answers; // Second when empty
    std::vector<Alert> shown;
    std::string pasteboard;
    std::vector<std::string> opened; // addresses
    bool browserOpens = false;
    // While set, an alert stays open until answer() is called: a person taking their time.
    bool holding = false;

    QCoro::Task<Answer> alert(std::string message, std::string informativeText,
                              std::string firstButton, std::string secondButton) override {
        note(message, informativeText, firstButton, secondButton);
        if (holding) {
            co_return co_await Held{this};
        }
        co_return next();
    }
    // An alert is open and waits for answer().
    bool open() const noexcept { return static_cast<bool>(held_); }
    // Answers the open alert; its awaiter resumes inside this call.
    void answer(Answer given) {
        given_ = given;
        std::coroutine_handle<> held = std::exchange(held_, {});
        held.resume();
    }
    void setPasteboardText(const std::string& text) override { pasteboard = text; }
    bool openInBrowser(const std::string& url) override {
        opened.push_back(url);
        return browserOpens;
    }

private:
    struct Held {
        FakePrompts* prompts;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) noexcept { prompts->held_ = handle; }
        Answer await_resume() const noexcept { return prompts->given_; }
    };

    void note(const std::string& message, const std::string& informativeText,
              const std::string& firstButton, const std::string& secondButton) {
        shown.push_back({message, informativeText, firstButton, secondButton});
    }
    Answer next() {
        if (answers.empty()) {
            return Answer::Second;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::coroutine_handle<> held_;
    Answer given_ = Answer::Second;
};

// One fake of every port, bundled.
struct FakePlatform {
    FakeWorkspace workspace;
    FakeConsole console;
    FakeAccessibility accessibility;
    FakeInput input;
    FakeScripting scripting;
    // The sound output and the players are faked at the meaning level: the actions' rules are
    // tested against these, the Mac adapter's scripts in its own tests.
    FakeAudioOutput audio;
    FakeMediaPlayers players;
    FakePower power;
    FakeHost host;
    FakeCatalog catalog;
    FakeCapture capture;
    FakeKeychain keychain;
    FakeProcessRunner processes;
    FakeLoginItems loginItems;
    MemoryDefaults defaults;
    FakePrompts prompts;
    VirtualClock clock;
    // The meaning ports the actions use, on top of the Mac-level fakes above.
    MacAdapter mac{MacPorts{.workspace = workspace,
                            .bundles = workspace,
                            .console = console,
                            .accessibility = accessibility,
                            .input = input,
                            .scripting = scripting,
                            .power = power,
                            .clock = clock}};

    Platform platform(ProcessRunner* runner = nullptr) {
        return Platform{.workspace = workspace,
                        .bundles = mac.bundles(),
                        .sessionLock = mac.sessionLock(),
                        .accessibility = mac.accessibility(),
                        .input = mac.input(),
                        .focusModes = mac.focusModes(),
                        .audio = audio,
                        .mediaPlayers = players,
                        .powerSources = mac.powerSources(),
                        .host = host,
                        .appCatalog = catalog,
                        .screenCapture = capture,
                        .keychain = keychain,
                        .processes = runner != nullptr ? *runner : processes,
                        .loginItems = loginItems,
                        .defaults = defaults,
                        .prompts = prompts,
                        .clock = clock};
    }
};

inline RunningApplication app(std::int32_t pid, std::string bundleID) {
    RunningApplication a;
    a.pid = pid;
    a.bundleID = std::move(bundleID);
    return a;
}

// What a thrown exception or a finished call amounts to, as text for comparisons.
template <typename F>
std::string outcomeOf(F&& f) {
    try {
        f();
        return "ok";
    } catch (const ContractError& e) {
        return e.code();
    }
}

// Watches a running task: `outcome` is "pending" until it ends, then the result's JSON text
// ("ok" for a task without result), the ContractError's code, "start_error" for a tool that did
// not start, or "other: " and the message.
struct Probe {
    bool done = false;
    std::string outcome = "pending";
};

template <typename T>
QCoro::Task<void> observe(QCoro::Task<T> task, std::shared_ptr<Probe> probe) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            probe->outcome = "ok";
        } else {
            const T value = co_await std::move(task);
            probe->outcome = value.data();
        }
    } catch (const ContractError& e) {
        probe->outcome = e.code();
    } catch (const ProcessStartError&) {
        probe->outcome = "start_error";
    } catch (const std::exception& e) {
        probe->outcome = std::string("other: ") + e.what();
    }
    probe->done = true;
}

template <typename T>
std::shared_ptr<Probe> watch(QCoro::Task<T>&& task) {
    auto probe = std::make_shared<Probe>();
    observe(std::move(task), probe);
    return probe;
}

// Runs a task on `clock`, `step` at a time, for at most `budget` of virtual time; its outcome.
template <typename T>
std::string runOn(VirtualClock& clock, QCoro::Task<T>&& task,
                  std::chrono::milliseconds step = std::chrono::milliseconds(10),
                  std::chrono::milliseconds budget = std::chrono::seconds(5)) {
    auto probe = watch(std::move(task));
    for (auto elapsed = step - step; !probe->done && elapsed < budget; elapsed += step) {
        clock.advance(step);
    }
    return probe->outcome;
}

} // namespace corvane::test
