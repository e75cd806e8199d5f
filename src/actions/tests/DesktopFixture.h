#pragma once

// Desktop control on the simulated Mac of a small scenario written by each test: an editor
// application in front with one window, desktop-wide consent given, on a virtual clock.

#include "actions/DesktopControl.h"
#include "sim/SimControlCommands.h"
#include "sim/SimModel.h"
#include "sim/SimulatedMac.h"
#include "support/FakePlatform.h"
#include "support/VirtualClock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace corvane::desktop_test {

using test::MemoryDefaults;
using test::Probe;
using test::watch;

constexpr std::int32_t editorPid = 500;

// `count` copies of `item`, with `separator` between them.
inline std::string repeated(const std::string& item, int count,
                            const std::string& separator = ",") {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += (i == 0 ? "" : separator) + item;
    }
    return out;
}

// The editor's window, titled "Doc", at (100, 50) and 1280 × 800 points, holding `children`
// (JSON element objects, comma-separated); `window` adds members to the window and `ui` to the
// application's interface.
inline std::string editorScenario(const std::string& children, const std::string& window = "",
                                  const std::string& ui = R"("focused_window": "w",
                                                             "main_window": "w")",
                                  const std::string& more = "") {
    return R"({"apps": [{"path": "Applications/Editor.app",
                        "bundle": {"CFBundleIdentifier": "com.example.editor",
                                   "CFBundleName": "Editor"},
                        "running": [{"pid": 500}],
                        "ui": {"windows": [{"id": "w", "role": "AXWindow",
                                            "subrole": "AXStandardWindow", "title": "Doc",
                                            "frame": [100, 50, 1280, 800] )" +
           (window.empty() ? "" : ", " + window) + R"(, "children": [)" + children + R"(]})" +
           more + R"(], )" + ui + R"(}},
                       {"path": "Applications/Other.app",
                        "bundle": {"CFBundleIdentifier": "com.example.other"},
                        "running": [{"pid": 600}],
                        "ui": {"windows": [{"id": "other", "role": "AXWindow",
                                            "subrole": "AXStandardWindow", "title": "Other",
                                            "frame": [0, 0, 50, 50]}],
                               "focused_window": "other"}}],
            "frontmost": 500})";
}

class DesktopFixture : public ::testing::Test {
protected:
    void load(const std::string& scenario) {
        ASSERT_TRUE(root.isValid());
        mac = std::make_unique<SimulatedMac>(root.path(), SimulatedMac::Options{&clock, &defaults});
        mac->load(scenario);
        platform = std::make_unique<Platform>(mac->platform());
        defaults.setBool(std::string(DesktopControl::consentKey), true);
        desktop = std::make_unique<DesktopControl>(*platform, &defaults);
    }

    // Runs the task to its end: events first (the image encoder's answer), virtual time only
    // while the task sleeps on the clock.
    void finish(const std::shared_ptr<Probe>& probe,
                std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
        QElapsedTimer bound;
        bound.start();
        while (!probe->done && bound.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            if (probe->done) {
                break;
            }
            if (clock.pendingSleeps() > 0) {
                clock.advance(step);
            } else {
                QThread::msleep(1);
            }
        }
    }

    std::string observe(const std::string& params = "{}") {
        const auto probe = watch(desktop->observe(JSON::parse(params)));
        finish(probe);
        if (probe->outcome.front() == '{') {
            last = JSON::parse(probe->outcome);
        }
        return probe->outcome;
    }

    std::string act(JSON params) {
        const auto probe = watch(desktop->act(std::move(params)));
        finish(probe);
        return probe->outcome;
    }

    // An action on the last observation's snapshot.
    std::string act(const std::string& operation, JSON::Object members = {}) {
        members.emplace("operation", JSON(operation));
        members.emplace("snapshot_id", JSON(snapshotID()));
        return act(JSON(std::move(members)));
    }

    std::string snapshotID() const {
        const std::string* id = last.stringMember("snapshot_id");
        return id != nullptr ? *id : std::string();
    }

    // The element id of the last observation's element with this label.
    std::string idOf(const std::string& label) const {
        for (const JSON& element : *last.find("elements")->array()) {
            if (*element.stringMember("label") == label) {
                return *element.stringMember("element_id");
            }
        }
        ADD_FAILURE() << "no element labelled " << label;
        return {};
    }

    std::vector<std::string> labels() const {
        std::vector<std::string> out;
        for (const JSON& element : *last.find("elements")->array()) {
            out.push_back(*element.stringMember("label"));
        }
        return out;
    }

    std::vector<JSON> events(const std::string& kind) {
        std::vector<JSON> found;
        for (const JSON& event : mac->model().events()) {
            if (*event.stringMember("kind") == kind) {
                found.push_back(event);
            }
        }
        return found;
    }

    // Runs element effects as the control channel does, e.g. [{"remove": "w"}].
    void effects(const std::string& does) {
        const JSON answer = mac->commands().handle(
            JSON(JSON::Object{{"cmd", JSON("ax")}, {"does", JSON::parse(does)}}));
        EXPECT_TRUE(answer.find("ok")->isTrue()) << answer.data();
    }

    std::optional<PlatformValue> attribute(const std::string& name, const std::string& attribute) {
        const std::optional<AXElement> element = mac->model().named(name);
        return element ? mac->macPorts().accessibility.attribute(*element, attribute)
                       : std::nullopt;
    }

    QTemporaryDir root;
    VirtualClock clock;
    MemoryDefaults defaults;
    std::unique_ptr<SimulatedMac> mac;
    std::unique_ptr<Platform> platform;
    std::unique_ptr<DesktopControl> desktop;
    JSON last;
};

} // namespace corvane::desktop_test
