#pragma once

#include "sim/SimModel.h"
#include "sim/SimulatedMac.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace corvane {

inline std::string defaultScenarioText() {
    QFile file(QStringLiteral(CORVANE_DEFAULT_SCENARIO));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll().toStdString();
}

// Runs the event loop until `done` holds: each pass waits for the next event (a socket's data, a
// child's end); the generous bound only matters when the awaited thing never happens.
inline bool waitUntil(const std::function<bool()>& done) {
    QTimer tick; // wakes the loop now and then, so that the bound is seen
    tick.start(50);
    const QDeadlineTimer bound(std::chrono::seconds(30));
    while (!done()) {
        if (bound.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// A simulated Mac loaded with the default scenario under a fresh temporary root.
class SimFixture : public testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        mac = std::make_unique<SimulatedMac>(root.path());
        mac->load(defaultScenarioText());
    }

    Platform platform() { return mac->platform(); }
    MacPorts macPorts() { return mac->macPorts(); }
    SimModel& model() { return mac->model(); }

    AXElement named(const std::string& name) {
        std::optional<AXElement> element = model().named(name);
        EXPECT_TRUE(element.has_value()) << name;
        return element.value_or(AXElement{});
    }

    std::optional<std::string> text(AXElement element, const std::string& attribute) {
        std::optional<PlatformValue> value = macPorts().accessibility.attribute(element, attribute);
        if (!value || value->string() == nullptr) {
            return std::nullopt;
        }
        return *value->string();
    }

    std::vector<JSON> eventsOfKind(const std::string& kind) {
        std::vector<JSON> found;
        for (const JSON& event : model().events()) {
            if (*event.stringMember("kind") == kind) {
                found.push_back(event);
            }
        }
        return found;
    }

    QTemporaryDir root;
    std::unique_ptr<SimulatedMac> mac;
};

} // namespace corvane
