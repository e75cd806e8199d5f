#pragma once

// Small hand-written ports for the reader tests: every value a reader asks for is a public field,
// and the scripting fake records what it was asked. Ports the readers never use answer with
// nothing.

#include "CorvanePlatform/Platform.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane::test {

class FakeConsoleSession final : public ConsoleSession {
public:
    std::optional<RootProperties> root;
    std::optional<PlatformValue> session;
    std::uint32_t uid = 501;
    bool legacyTool = false;

    std::optional<RootProperties> rootProperties() const override { return root; }
    std::optional<PlatformValue> sessionDictionary() const override { return session; }
    std::uint32_t userID() const override { return uid; }
    bool legacyLockToolPresent() const override { return legacyTool; }
};

class FakeWorkspace final : public Workspace {
public:
    std::vector<RunningApplication> running;
    std::optional<RunningApplication> frontmost;
    OSVersion os{14, 5, 0, "Version 14.5 (Build 23F79)"};

    std::vector<RunningApplication> runningApplications() const override { return running; }
    std::optional<RunningApplication> frontmostApplication() const override { return frontmost; }
    std::optional<std::string> applicationPath(const std::string&) const override { return {}; }
    std::optional<PlatformValue::Dictionary> bundleInfo(const std::string&) const override {
        return {};
    }
    QCoro::Task<void> openApplication(std::string, bool) override { co_return; }
    bool openURL(const std::string&) override { return false; }
    bool activate(std::int32_t) override { return false; }
    bool terminate(std::int32_t) override { return false; }
    std::string hostName() const override { return "test-mac"; }
    OSVersion osVersion() const override { return os; }
};

class FakeScripting final : public Scripting {
public:
    // Replies by exact script text; an unknown script fails to run.
    std::map<std::string, Result> replies;
    std::map<std::string, Permission> permissions;
    std::vector<std::string> ran;
    mutable std::vector<std::string> permissionQueries;

    Result run(const std::string& source) override {
        ran.push_back(source);
        const auto it = replies.find(source);
        return it == replies.end() ? Result(Failure::ExecutionFailed) : it->second;
    }
    Permission automationPermission(const std::string& bundleID) const override {
        permissionQueries.push_back(bundleID);
        const auto it = permissions.find(bundleID);
        return it == permissions.end() ? Permission::NotDetermined : it->second;
    }
};

class FakePower final : public Power {
public:
    std::optional<PlatformValue> sources;

    std::optional<PlatformValue> powerSources() const override { return sources; }
    SleepOutcome requestSleep() override { return SleepOutcome::Unavailable; }
};

class FakeHostStats final : public HostStats {
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

class FakeAccessibility final : public Accessibility {
public:
    bool trusted = false;

    bool isTrusted() const override { return trusted; }
    void requestTrust() override {}
    AXElement applicationElement(std::int32_t) override { return {}; }
    AXElement systemWideElement() override { return {}; }
    void setMessagingTimeout(AXElement, std::chrono::milliseconds) override {}
    std::optional<PlatformValue> attribute(AXElement, const std::string&) const override {
        return {};
    }
    std::optional<std::vector<std::string>> actionNames(AXElement) const override { return {}; }
    std::optional<std::string> actionDescription(AXElement, const std::string&) const override {
        return {};
    }
    std::optional<std::int32_t> pid(AXElement) const override { return {}; }
    bool performAction(AXElement, const std::string&) override { return false; }
    bool setAttribute(AXElement, const std::string&, const PlatformValue&) override {
        return false;
    }
    std::optional<AXElement> elementAtPosition(double, double) const override { return {}; }
};

class FakeScreenCapture final : public ScreenCapture {
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

class FakeClock final : public Clock {
public:
    WallTime wall{};

    WallTime now() const override { return wall; }
    MonotonicTime monotonicNow() const override { return {}; }
    QCoro::Task<void> sleep(std::chrono::milliseconds) override { co_return; }
};

class NoInputEvents final : public InputEvents {
public:
    bool postKeyToProcess(const KeyStroke&, std::int32_t) override { return false; }
    bool postKeyToSession(const KeyStroke&) override { return false; }
    bool postClick(double, double, MouseButton, int) override { return false; }
    bool postScroll(double, double, std::int32_t) override { return false; }
};

class NoAppCatalog final : public AppCatalog {
public:
    std::optional<std::vector<std::string>> indexedApplications() const override { return {}; }
    std::optional<WireTime::Instant> lastUsedDate(const std::string&) const override { return {}; }
    std::vector<std::string> directoryRoots() const override { return {}; }
};

class NoKeychain final : public Keychain {
public:
    Status copy(const Query&, std::string&) override { return Status::Other; }
    Status update(const Query&, const std::string&) override { return Status::Other; }
    Status add(const Query&, const std::string&) override { return Status::Other; }
    Status remove(const Query&) override { return Status::Other; }
};

class NoProcessRunner final : public ProcessRunner {
public:
    std::unique_ptr<Process> start(const std::string&, const std::vector<std::string>&) override {
        throw ProcessStartError("no processes in reader tests");
    }
};

class NoLoginItems final : public LoginItems {
public:
    Status status() const override { return Status::NotFound; }
    bool registerItem() override { return false; }
    bool unregisterItem() override { return false; }
};

class NoUserDefaults final : public UserDefaults {
public:
    std::optional<bool> boolValue(const std::string&) const override { return {}; }
    std::optional<std::int64_t> integerValue(const std::string&) const override { return {}; }
    std::optional<std::string> stringValue(const std::string&) const override { return {}; }
    std::optional<std::vector<std::string>> stringListValue(const std::string&) const override {
        return {};
    }
    void setBool(const std::string&, bool) override {}
    void setInteger(const std::string&, std::int64_t) override {}
    void setString(const std::string&, const std::string&) override {}
    void setStringList(const std::string&, const std::vector<std::string>&) override {}
    void remove(const std::string&) override {}
};

class NoUserPrompts final : public UserPrompts {
public:
    Answer alert(const std::string&, const std::string&, const std::string&,
                 const std::string&) override {
        return Answer::Second;
    }
    void setPasteboardText(const std::string&) override {}
    bool openInBrowser(const std::string&) override { return false; }
};

// A whole fake computer for the readers: an unlocked console session of user 501 unless a test
// changes it.
struct FakeMac {
    FakeConsoleSession console;
    FakeWorkspace workspace;
    FakeScripting scripting;
    FakePower power;
    FakeHostStats host;
    FakeAccessibility accessibility;
    FakeScreenCapture screenCapture;
    FakeClock clock;
    NoInputEvents input;
    NoAppCatalog appCatalog;
    NoKeychain keychain;
    NoProcessRunner processes;
    NoLoginItems loginItems;
    NoUserDefaults defaults;
    NoUserPrompts prompts;

    FakeMac() { setScreen(false); }

    // A well-formed single-user console, locked or not.
    void setScreen(bool locked) {
        console.root = ConsoleSession::RootProperties{
            PlatformValue::Array{PlatformValue::Dictionary{{"kCGSSessionOnConsoleKey", true},
                                                           {"kCGSSessionUserIDKey", 501}}},
            PlatformValue(locked)};
        console.session = PlatformValue::Dictionary{{"kCGSSessionOnConsoleKey", true},
                                                    {"kCGSSessionUserIDKey", 501}};
    }

    Platform platform() {
        return Platform{workspace, console,    accessibility, input,         scripting,
                        power,     host,       appCatalog,    screenCapture, keychain,
                        processes, loginItems, defaults,      prompts,       clock};
    }
};

} // namespace corvane::test
