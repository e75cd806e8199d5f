#include "DesktopServices.h"

#include "actions/DeviceCapabilityReport.h"
#include "linuxdesktop/LinuxHostStats.h"
#include "linuxdesktop/OsRelease.h"
#include "linuxdesktop/UPowerSources.h"

#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace corvane {
namespace {

using namespace desktop_services;
using Battery = PowerSources::Battery;

const QString upower = QStringLiteral("org.freedesktop.UPower");
const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");

class PowerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString missing = missingProgram({QStringLiteral("dbus-daemon")});
            !missing.isEmpty()) {
            GTEST_SKIP() << "power tests need " << missing.toStdString() << " (package dbus)";
        }
        if (const QString missing = missingDbusmock(); !missing.isEmpty()) {
            GTEST_SKIP() << "power tests need " << missing.toStdString();
        }
        ASSERT_TRUE(scratch.isValid());
        bus = std::make_unique<PrivateBus>(scratch.path(), QStringLiteral("system"));
        ASSERT_TRUE(bus->started());
    }

    QTemporaryDir scratch;
    std::unique_ptr<PrivateBus> bus;
};

TEST_F(PowerTest, TheBatteryComesFromUPowersDisplayDeviceAndFollowsIt) {
    UPowerSources power(bus->connection());
    const auto absent = finish(power.battery());
    EXPECT_TRUE(absent.error) << "no UPower is a failure to read, not a computer without battery";

    const auto daemon =
        startMock(*bus, QStringLiteral("upower"), upower, QStringLiteral("{\"OnBattery\": true}"));
    ASSERT_NE(daemon, nullptr);
    EXPECT_EQ(finish(power.battery()).value.value(), std::nullopt) << "a desktop without a battery";

    const QDBusMessage setup = bus->call(
        upower, QStringLiteral("/org/freedesktop/UPower"), mockInterface,
        QStringLiteral("SetupDisplayDevice"),
        {2u, 2u, 41.6, 20.0, 48.0, 10.0, qlonglong(3600), qlonglong(0), true, QString(), 1u});
    ASSERT_EQ(setup.type(), QDBusMessage::ReplyMessage) << setup.errorMessage().toStdString();
    UPowerSources fresh(bus->connection());
    EXPECT_EQ(finish(fresh.battery()).value.value(), (Battery{42, false, false}));

    // Plugged in and charging, then full: the cached values follow PropertiesChanged.
    bus->call(upower, QStringLiteral("/org/freedesktop/UPower"),
              QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
              {upower, QStringLiteral("OnBattery"), QVariant::fromValue(QDBusVariant(false))});
    const auto device = [&](const QVariantMap& values) {
        bus->call(
            upower, QStringLiteral("/org/freedesktop/UPower"), mockInterface,
            QStringLiteral("SetDeviceProperties"),
            {QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/freedesktop/UPower/devices/"
                                                                "DisplayDevice"))),
             values});
    };
    device({{QStringLiteral("State"), 1u}, {QStringLiteral("Percentage"), 57.0}});
    EXPECT_TRUE(waitUntil([&] {
        return finish(fresh.battery()).value == std::optional(Battery{57, true, true});
    }));
    device({{QStringLiteral("State"), 4u}, {QStringLiteral("Percentage"), 100.0}});
    EXPECT_TRUE(waitUntil([&] {
        return finish(fresh.battery()).value == std::optional(Battery{100, false, true});
    }));
    device({{QStringLiteral("IsPresent"), false}});
    EXPECT_TRUE(waitUntil([&] {
        const auto read = finish(fresh.battery()).value;
        return read && !*read;
    }));
}

TEST_F(PowerTest, LowPowerModeIsThePowerSaverProfile) {
    const auto daemon = startMock(*bus, QStringLiteral("power_profiles_daemon"),
                                  QStringLiteral("net.hadess.PowerProfiles"),
                                  QStringLiteral("{\"ActiveProfile\": \"power-saver\"}"));
    ASSERT_NE(daemon, nullptr);
    LinuxHostStats host(bus->connection(), LinuxHostStats::Roots{});
    EXPECT_TRUE(waitUntil([&] { return host.lowPowerMode(); }));
    bus->call(QStringLiteral("net.hadess.PowerProfiles"),
              QStringLiteral("/net/hadess/PowerProfiles"),
              QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
              {QStringLiteral("net.hadess.PowerProfiles"), QStringLiteral("ActiveProfile"),
               QVariant::fromValue(QDBusVariant(QStringLiteral("balanced")))});
    EXPECT_TRUE(waitUntil([&] { return !host.lowPowerMode(); }));
}

// Kernel files laid out in a temporary folder.
class HostFiles : public ::testing::Test {
protected:
    void write(const QString& relative, const QByteArray& text) {
        const QString path = scratch.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    LinuxHostStats host() {
        return LinuxHostStats(QDBusConnection(QStringLiteral("none")),
                              {scratch.filePath(QStringLiteral("proc")),
                               scratch.filePath(QStringLiteral("thermal")),
                               scratch.path().toStdString()});
    }
    QTemporaryDir scratch;
};

TEST_F(HostFiles, MemoryAndBootTimeComeFromProc) {
    EXPECT_FALSE(host().memory()) << "no meminfo";
    EXPECT_FALSE(host().bootTime());
    write(QStringLiteral("proc/meminfo"),
          "MemTotal:        8000000 kB\nMemFree:  100 kB\nMemAvailable:    2000000 kB\n");
    write(QStringLiteral("proc/uptime"), "3600.50 7000.00\n");
    const auto memory = host().memory();
    ASSERT_TRUE(memory);
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    EXPECT_EQ(memory->physicalBytes, 8192000000u);
    EXPECT_EQ(memory->pageSize, page);
    EXPECT_EQ(memory->activePages, 6144000000u / page);
    const auto boot = host().bootTime();
    ASSERT_TRUE(boot);
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_NEAR(double(now - boot->seconds), 3600.5, 2.0);

    for (const QByteArray& broken :
         {QByteArray("MemTotal: lots\nMemAvailable: 1 kB\n"), QByteArray("MemAvailable: 1 kB\n")}) {
        write(QStringLiteral("proc/meminfo"), broken);
        EXPECT_FALSE(host().memory()) << broken.constData();
    }
    write(QStringLiteral("proc/uptime"), "-1 0\n");
    EXPECT_FALSE(host().bootTime());
}

TEST_F(HostFiles, TheThermalStateIsTheWorstZoneAgainstItsTripPoints) {
    using Thermal = HostStats::ThermalState;
    EXPECT_EQ(host().thermalState(), Thermal::Other) << "no zones: unknown";
    const auto zone = [&](const QString& name, const QByteArray& temp,
                          const std::vector<std::pair<QByteArray, QByteArray>>& trips) {
        write(QStringLiteral("thermal/%1/temp").arg(name), temp);
        for (std::size_t i = 0; i < trips.size(); ++i) {
            write(QStringLiteral("thermal/%1/trip_point_%2_type").arg(name).arg(i),
                  trips[i].first + '\n');
            write(QStringLiteral("thermal/%1/trip_point_%2_temp").arg(name).arg(i),
                  trips[i].second + '\n');
        }
    };
    const std::vector<std::pair<QByteArray, QByteArray>> trips{
        {"active", "50000"}, {"passive", "80000"}, {"hot", "95000"}, {"critical", "105000"}};
    zone(QStringLiteral("thermal_zone0"), "45000\n", trips);
    EXPECT_EQ(host().thermalState(), Thermal::Nominal);
    zone(QStringLiteral("thermal_zone1"), "not a number\n", trips);
    EXPECT_EQ(host().thermalState(), Thermal::Nominal) << "an unreadable zone changes nothing";
    struct Row {
        QByteArray temp;
        Thermal expected;
    };
    for (const Row& row : {Row{"85000", Thermal::Fair}, Row{"96000", Thermal::Serious},
                           Row{"105000", Thermal::Critical}}) {
        zone(QStringLiteral("thermal_zone2"), row.temp, trips);
        EXPECT_EQ(host().thermalState(), row.expected) << row.temp.constData();
    }
}

TEST_F(HostFiles, TheHomeVolumeIsMeasured) {
    const HostStats::VolumeCapacity capacity = host().homeVolumeCapacity();
    ASSERT_TRUE(capacity.totalBytes && capacity.availableBytes);
    EXPECT_GT(*capacity.totalBytes, 0);
    EXPECT_LE(*capacity.availableBytes, *capacity.totalBytes);
    const HostStats::VolumeCapacity missing =
        LinuxHostStats(QDBusConnection(QStringLiteral("none")),
                       {QString(), QString(), "/nonexistent/corvane"})
            .homeVolumeCapacity();
    EXPECT_FALSE(missing.totalBytes || missing.availableBytes);
}

TEST(OsRelease, TheVersionAndItsTextComeFromOsRelease) {
    struct Row {
        QByteArray text;
        int major, minor, patch;
        std::string shown;
    };
    const Row rows[] = {
        {"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
         "VERSION_ID=\"12\"\n",
         12, 0, 0, "Debian GNU/Linux 12 (bookworm)"},
        {"NAME=Ubuntu\nVERSION_ID='22.04.3'\n", 22, 4, 3, "Ubuntu 22.04.3"},
        {"# comment\nPRETTY_NAME=\"Quote \\\"Inside\\\"\"\nVERSION_ID=rolling\n", 0, 0, 0,
         "Quote \"Inside\""},
    };
    for (const Row& row : rows) {
        const OSVersion version = OsRelease::parse(row.text);
        EXPECT_EQ(version.major, row.major) << row.text.constData();
        EXPECT_EQ(version.minor, row.minor) << row.text.constData();
        EXPECT_EQ(version.patch, row.patch) << row.text.constData();
        EXPECT_EQ(version.text, row.shown) << row.text.constData();
    }
    EXPECT_FALSE(OsRelease::parse({}).text.empty()) << "the kernel's name when nothing is known";
}

TEST(CapabilityGaps, WhatABackendCannotOfferIsLeftOutOfTheReport) {
    DeviceCapabilityReport::Inputs inputs;
    inputs.agentVersion = "1";
    inputs.unavailable = {"lock_screen", "audio_output_state", "not_a_name"};
    const JSON report = DeviceCapabilityReport::assemble(inputs);
    const JSON::Array& actions = *report.find("actions")->array();
    const JSON::Array& features = *report.find("features")->array();
    EXPECT_EQ(actions.size(), DeviceCapabilityReport::actions.size() - 1);
    EXPECT_EQ(features.size(), DeviceCapabilityReport::features.size() - 1);
    EXPECT_EQ(std::find(actions.begin(), actions.end(), JSON("lock_screen")), actions.end());
    EXPECT_NE(std::find(actions.begin(), actions.end(), JSON("sleep_mac")), actions.end());
}

} // namespace
} // namespace corvane
