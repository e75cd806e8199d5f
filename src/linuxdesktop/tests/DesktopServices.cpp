#include "DesktopServices.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace corvane::desktop_services {

namespace {

constexpr const char* playerScript = R"(
import sys, time, dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
name, identity, status = sys.argv[1], sys.argv[2], sys.argv[3]
delay = float(sys.argv[4]) if len(sys.argv) > 4 else 0
ROOT, PLAYER = 'org.mpris.MediaPlayer2', 'org.mpris.MediaPlayer2.Player'
class P(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, '/org/mpris/MediaPlayer2')
        self.track, self.status = 1, status
    def meta(self):
        return dbus.Dictionary({'xesam:title': 'Track %d' % self.track,
                                'xesam:artist': dbus.Array(['Ann', 'Bo'], signature='s')},
                               signature='sv')
    def props(self, iface):
        time.sleep(delay)
        if iface == ROOT:
            return {'Identity': identity}
        return {'PlaybackStatus': self.status, 'Metadata': self.meta()}
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, iface, prop):
        return self.props(iface)[prop]
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, iface):
        return self.props(iface)
    @dbus.service.method(PLAYER)
    def Next(self):
        self.track += 1
    @dbus.service.method(PLAYER)
    def Previous(self):
        self.track -= 1
    @dbus.service.method(PLAYER)
    def PlayPause(self):
        self.status = 'Paused' if self.status == 'Playing' else 'Playing'
bus = dbus.SessionBus()
keep = dbus.service.BusName('org.mpris.MediaPlayer2.' + name, bus)
player = P(bus)
GLib.MainLoop().run()
)";

} // namespace

QString missingProgram(const QStringList& programs) {
    for (const QString& program : programs) {
        if (QStandardPaths::findExecutable(program).isEmpty() && !QFile::exists(program)) {
            return program;
        }
    }
    return {};
}

QString missingDbusmock() {
    if (!QFile::exists(QStringLiteral("/usr/bin/python3"))) {
        return QStringLiteral("/usr/bin/python3");
    }
    QProcess probe;
    probe.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral("-c"), QStringLiteral("import dbusmock, dbus, gi")});
    if (!probe.waitForFinished(15000) || probe.exitCode() != 0) {
        return QStringLiteral("python3-dbusmock");
    }
    return {};
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const QDeadlineTimer deadline(limit);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

Service::Service(const QString& program, const QStringList& arguments,
                 const QStringList& environment) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : environment) {
        const qsizetype equals = entry.indexOf(u'=');
        env.insert(entry.left(equals), entry.mid(equals + 1));
    }
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.start(program, arguments);
    process_.waitForStarted(10000);
}

Service::~Service() {
    stop();
}

bool Service::running() const {
    return process_.state() == QProcess::Running;
}

void Service::stop() {
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    process_.terminate();
    if (!process_.waitForFinished(3000)) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}

PrivateBus::PrivateBus(const QString& folder, const QString& name) {
    const QString config = folder + u'/' + name + QStringLiteral(".conf");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        return;
    }
    file.write(QStringLiteral(
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                   "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig><type>session</type><listen>unix:path=%1/%2.socket</listen>"
                   "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                   "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                   "</busconfig>\n")
                   .arg(folder, name)
                   .toUtf8());
    file.close();
    daemon_ = std::make_unique<Service>(QStringLiteral("dbus-daemon"),
                                        QStringList{QStringLiteral("--config-file=") + config,
                                                    QStringLiteral("--nofork"),
                                                    QStringLiteral("--print-address=1")},
                                        QStringList{});
    QProcess& process = daemon_->process();
    waitUntil([&] { return process.canReadLine() || process.state() != QProcess::Running; });
    address_ = QString::fromUtf8(process.readLine()).trimmed();
    if (address_.isEmpty()) {
        return;
    }
    connectionName_ = QStringLiteral("corvane-test-") + address_;
    connection_ = QDBusConnection::connectToBus(address_, connectionName_);
}

PrivateBus::~PrivateBus() {
    if (!connectionName_.isEmpty()) {
        QDBusConnection::disconnectFromBus(connectionName_);
    }
}

QStringList PrivateBus::environment() const {
    return {QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + address_,
            QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + address_};
}

bool PrivateBus::waitForOwner(const QString& service, bool owned) {
    return waitUntil([&] {
        const QDBusMessage reply =
            call(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                 QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"), {service});
        return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
               reply.arguments().constFirst().toBool() == owned;
    });
}

QDBusMessage PrivateBus::call(const QString& service, const QString& path, const QString& interface,
                              const QString& method, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return connection_.call(message, QDBus::Block, 10000);
}

std::unique_ptr<Service> startMock(PrivateBus& bus, const QString& templateName,
                                   const QString& busName, const QString& parameters) {
    QStringList arguments{QStringLiteral("-m"), QStringLiteral("dbusmock"),
                          QStringLiteral("--template"), templateName};
    if (!parameters.isEmpty()) {
        arguments << QStringLiteral("--parameters") << parameters;
    }
    auto mock =
        std::make_unique<Service>(QStringLiteral("/usr/bin/python3"), arguments, bus.environment());
    if (!bus.waitForOwner(busName)) {
        return nullptr;
    }
    return mock;
}

QDBusMessage addMockMethod(PrivateBus& bus, const QString& service, const QString& path,
                           const QString& interface, const QString& name, const QString& inSig,
                           const QString& outSig, const QString& code) {
    return bus.call(service, path, QStringLiteral("org.freedesktop.DBus.Mock"),
                    QStringLiteral("AddMethod"), {interface, name, inSig, outSig, code});
}

std::unique_ptr<Service> startPlayer(PrivateBus& bus, const QString& folder, const QString& name,
                                     const QString& identity, const QString& status,
                                     const QString& delay) {
    const QString script = folder + QStringLiteral("/mpris-player.py");
    if (!QFile::exists(script)) {
        QFile file(script);
        if (!file.open(QIODevice::WriteOnly) || file.write(playerScript) < 0) {
            return nullptr;
        }
    }
    QStringList arguments{script, name, identity, status};
    if (!delay.isEmpty()) {
        arguments << delay;
    }
    auto player =
        std::make_unique<Service>(QStringLiteral("/usr/bin/python3"), arguments, bus.environment());
    if (!bus.waitForOwner(QStringLiteral("org.mpris.MediaPlayer2.") + name)) {
        return nullptr;
    }
    return player;
}

} // namespace corvane::desktop_services
