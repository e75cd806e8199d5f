#pragma once

// Small hand-written ports for the reader tests: every value a reader asks for is a public field,
// and the scripting fake records what it was asked. Ports the readers never use come from the
// executor's fakes and answer with nothing.

#include "CorvanePlatform/Platform.h"
#include "ExecutorFakes.h"

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

class FakeClock final : public Clock {
public:
    WallTime wall{};

    WallTime now() const override { return wall; }
    MonotonicTime monotonicNow() const override { return {}; }
    QCoro::Task<void> sleep(std::chrono::milliseconds) override { co_return; }
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
    executor_test::FakeCapture screenCapture;
    FakeClock clock;
    executor_test::FakeInput input;
    executor_test::FakeCatalog appCatalog;
    executor_test::FakeKeychain keychain;
    executor_test::FakeProcessRunner processes;
    executor_test::FakeLoginItems loginItems;
    executor_test::MemoryDefaults defaults;
    executor_test::FakePrompts prompts;

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
