// velto-relay: the relay and its dashboard on one HTTPS port, with its state in one data folder.
#include "core/ContractValidator.h"
#include "core/InstalledFile.h"
#include "core/InstanceLock.h"
#include "core/SystemClock.h"
#include "core/Uuid.h"
#include "relay/PostgresCommandBus.h"
#include "relay/PostgresConnection.h"
#include "relay/PostgresDevicePresence.h"
#include "relay/PostgresOAuthStore.h"
#include "relay/PostgresRateLimits.h"
#include "relay/PostgresRelayStore.h"
#include "relay/PostgresWebSessions.h"
#include "relay/RelayCertificate.h"
#include "relay/RelayServer.h"
#include "relay/RelayStopSignals.h"
#include "relay/RelayStoreThread.h"
#include "relay/SqliteOAuthStore.h"
#include "relay/SqliteRelayStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <qcoro/qcorotask.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>

namespace {

void say(const QString& line) {
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

// A file the relay ships: beside it in the build tree, else in its package's share folder.
QString shipped(const QString& builtPath, const QString& installedPath) {
    return corvane::InstalledFile::find(QCoreApplication::applicationDirPath(), builtPath,
                                        QStringLiteral("velto-relay"), installedPath);
}

// The command line's options, each with a default from the environment (VELTO_RELAY_<NAME>), so
// that a service reads them from its configuration file. An empty variable counts as unset.
class Options {
public:
    explicit Options(const QCommandLineParser& parser)
        : parser_(parser) {}

    bool isSet(const QCommandLineOption& option) const {
        return parser_.isSet(option) || !fromEnvironment(option).isEmpty();
    }
    QString value(const QCommandLineOption& option) const {
        if (parser_.isSet(option)) {
            return parser_.value(option);
        }
        const QString configured = fromEnvironment(option);
        return configured.isEmpty() ? parser_.value(option) : configured;
    }

    static QString variable(const QCommandLineOption& option) {
        return QStringLiteral("VELTO_RELAY_") +
               option.names().constFirst().toUpper().replace(u'-', u'_');
    }

private:
    static QString fromEnvironment(const QCommandLineOption& option) {
        return qEnvironmentVariable(variable(option).toLatin1().constData()).trimmed();
    }

    const QCommandLineParser& parser_;
};

// The one-time owner link, also kept in the data folder for an administrator who missed the
// log: readable by the relay's own user only, replaced whole, and removed once the owner exists.
// (Not through PrivateFile: that would make the data folder owner-only, and its mode is the
// administrator's.)
void keepOwnerLink(const QString& folder, const QString& link) {
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(QStringLiteral("owner-link")));
    // A write cut short (kill -9) leaves its temporary file; it goes at the next start either way.
    const QByteArray temporary = path + ".new";
    ::unlink(temporary.constData());
    if (link.isEmpty()) {
        ::unlink(path.constData());
        return;
    }
    const QByteArray bytes = (link + u'\n').toUtf8();
    const int fd =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const bool written =
        fd >= 0 &&
        ::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) == bytes.size() &&
        ::fsync(fd) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!written || ::rename(temporary.constData(), path.constData()) != 0) {
        ::unlink(temporary.constData());
        say(QStringLiteral("relay: cannot keep the owner link in ") + QFile::decodeName(path));
    }
}

// A new folder is made private; an existing one is used as it is, unless others may write in it
// (they could swap the database or the certificate). Its mode is never changed: it may be shared
// on purpose (a sticky /tmp would lose its sticky bit). Empty when usable, else why not.
QString prepareDataFolder(const QString& folder) {
    const QFileInfo info(folder);
    if (!info.exists()) {
        if (!QDir().mkpath(folder) ||
            !QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner)) {
            return QStringLiteral("cannot make the data folder ") + folder;
        }
        return {};
    }
    if (!info.isDir()) {
        return QStringLiteral("the data folder is not a folder: ") + folder;
    }
    if ((info.permissions() & (QFileDevice::WriteGroup | QFileDevice::WriteOther)) != 0) {
        return QStringLiteral("others can write in the data folder ") + folder +
               QStringLiteral("; use a folder only this user can write in");
    }
    return {};
}

// Every device holds a descriptor: the soft limit (often 1024) would cap the relay far below
// what it can carry, so it takes what the system allows, and serves as many connections as that
// leaves room for (the network keeps a spare for the relay's own files).
std::size_t raiseDescriptorLimit() {
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
        return corvane::RelayServer::Options{}.connections;
    }
    if (descriptors.rlim_cur < descriptors.rlim_max) {
        descriptors.rlim_cur = descriptors.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
            getrlimit(RLIMIT_NOFILE, &descriptors);
        }
    }
    constexpr rlim_t most = 1'000'000;
    return static_cast<std::size_t>(std::min(descriptors.rlim_cur, most));
}

// The host for links when none is given: a wildcard address is no place to go, so links name this
// machine's loopback address (which a wildcard includes, and the made certificate covers). An
// IPv4 address written as IPv6 ("::ffff:0.0.0.0") is named as IPv4.
QString linkHostFor(QHostAddress address) {
    bool mapped = false;
    if (const quint32 ipv4 = address.toIPv4Address(&mapped);
        mapped && address.protocol() == QAbstractSocket::IPv6Protocol) {
        address = QHostAddress(ipv4);
    }
    if (address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6) {
        return QStringLiteral("127.0.0.1");
    }
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]").arg(address.toString())
               : address.toString();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Before any thread starts: they all inherit the blocked stop signals.
    const corvane::RelayStopSignals stopSignals([] { QCoreApplication::quit(); });
    const std::size_t connections = raiseDescriptorLimit();
    QCoreApplication::setApplicationName(QStringLiteral("velto-relay"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The Velto relay and its web dashboard.\n\nEach option may also come from "
                       "the environment as VELTO_RELAY_<OPTION> (VELTO_RELAY_PORT, "
                       "VELTO_RELAY_CONNECTIONS_PER_ADDRESS...), as the service's configuration "
                       "file sets them; the command line wins."));
    parser.addHelpOption();
    const QCommandLineOption data(QStringLiteral("data"),
                                  QStringLiteral("Data folder (database, certificate)."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                    QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port (default 8443; 0 picks a free one)."),
                                  QStringLiteral("PORT"), QStringLiteral("8443"));
    const QCommandLineOption host(
        QStringLiteral("host"),
        QStringLiteral("Name or address people and agents use to reach "
                       "this relay (in links and in a made certificate)."),
        QStringLiteral("HOST"));
    const QCommandLineOption cert(QStringLiteral("cert"),
                                  QStringLiteral("PEM certificate (chain) to serve instead of a "
                                                 "self-signed one."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("PEM key of --cert."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption perAddress(
        QStringLiteral("connections-per-address"),
        QStringLiteral("Connections one address may hold open (default 256; more for many "
                       "devices behind one NAT)."),
        QStringLiteral("COUNT"), QStringLiteral("256"));
    const QCommandLineOption database(
        QStringLiteral("database"),
        QStringLiteral(
            "A PostgreSQL database (postgresql://...) that several relays share, instead "
            "of SQLite in the data folder."),
        QStringLiteral("URL"));
    parser.addOptions({data, listen, port, host, cert, key, perAddress, database});
    parser.process(app);
    const Options options(parser);

    try {
        const QString folder =
            options.isSet(data)
                ? options.value(data)
                : QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                      QStringLiteral("/VeltoRelay");
        // The address is never printed: it may hold a password.
        const std::string databaseAddress = options.value(database).toStdString();
        if (!databaseAddress.empty() &&
            ((databaseAddress.rfind("postgresql://", 0) != 0 &&
              databaseAddress.rfind("postgres://", 0) != 0) ||
             !corvane::PostgresRelayStore::readableAddress(databaseAddress))) {
            say(QStringLiteral("relay: --database takes a postgresql:// address"));
            return 2;
        }
        if (const QString refused = prepareDataFolder(folder); !refused.isEmpty()) {
            say(QStringLiteral("relay: ") + refused);
            return 1;
        }
        // Two relays on one folder would each hand out setup tokens and sessions the other
        // never sees, and could both write the certificate.
        QString lockError;
        const std::optional<corvane::InstanceLock> instance = corvane::InstanceLock::acquire(
            QDir(folder).filePath(QStringLiteral("relay.lock")), &lockError);
        if (!instance) {
            say(corvane::InstanceLock::heldElsewhere(lockError)
                    ? QStringLiteral("relay: another relay is using the data folder ") + folder
                    : QStringLiteral("relay: cannot lock the data folder: ") + lockError);
            return 1;
        }
        if (options.isSet(cert) != options.isSet(key)) {
            say(QStringLiteral("relay: --cert and --key go together"));
            return 2;
        }
        const QHostAddress address(options.value(listen));
        bool portOk = false;
        const uint portNumber = options.value(port).toUInt(&portOk);
        if (address.isNull() || !portOk || portNumber > 65535) {
            say(QStringLiteral("relay: invalid --listen or --port"));
            return 2;
        }
        bool perAddressOk = false;
        const uint connectionsPerAddress = options.value(perAddress).toUInt(&perAddressOk);
        if (!perAddressOk || connectionsPerAddress == 0) {
            say(QStringLiteral("relay: invalid --connections-per-address"));
            return 2;
        }
        const QString linkHost = options.isSet(host) ? options.value(host) : linkHostFor(address);

        const corvane::RelayCertificate certificate =
            options.isSet(cert)
                ? corvane::RelayCertificate::load(options.value(cert), options.value(key))
                : corvane::RelayCertificate::ensure(folder, options.isSet(host)
                                                                ? QStringList{options.value(host)}
                                                                : QStringList{});
        const corvane::ContractValidator validator(
            shipped(QStringLiteral("resources/v1.schema.json"), QStringLiteral("v1.schema.json")));
        // The store is opened, used and closed on a thread of its own.
        corvane::RelayStoreThread store(
            [databaseAddress, path = QDir(folder).filePath(QStringLiteral(
                                  "relay.sqlite"))]() -> std::unique_ptr<corvane::RelayStore> {
                if (databaseAddress.empty()) {
                    return std::make_unique<corvane::SqliteRelayStore>(path);
                }
                return std::make_unique<corvane::PostgresRelayStore>(databaseAddress);
            });
        // Assistants' grants live beside the accounts: in the embedded database, or in the
        // shared one, where every relay honours what another issued. Opened once the store
        // above has migrated (its constructor waits for that).
        std::unique_ptr<corvane::OAuthStore> oauth;
        if (databaseAddress.empty()) {
            oauth = std::make_unique<corvane::SqliteOAuthStore>(
                QDir(folder).filePath(QStringLiteral("relay.sqlite")));
        } else {
            oauth = std::make_unique<corvane::PostgresOAuthStore>(databaseAddress);
        }
        corvane::SystemClock clock;
        corvane::RelayServer::Options serving{
            certificate.tls(),
            QDir(shipped(QStringLiteral("dashboard"), QStringLiteral("dashboard"))),
            connectionsPerAddress, oauth.get()};
        serving.connections = connections;
        // Relays on one PostgreSQL share sign-ins and limits, whichever of them a browser
        // reaches, and carry commands to the relay that holds a device's socket.
        std::unique_ptr<corvane::PostgresConnection> shared;
        // The limits on a connection of their own: a sign-in flood's statements then never queue
        // ahead of the sessions and commands of the people and devices already in.
        std::unique_ptr<corvane::PostgresConnection> limiting;
        std::unique_ptr<corvane::PostgresWebSessions> sessions;
        std::unique_ptr<corvane::PostgresRateLimits> limits;
        std::unique_ptr<corvane::PostgresDevicePresence> presence;
        std::unique_ptr<corvane::PostgresCommandBus> bus;
        if (!databaseAddress.empty()) {
            shared = std::make_unique<corvane::PostgresConnection>(databaseAddress);
            sessions = std::make_unique<corvane::PostgresWebSessions>(*shared);
            limiting = std::make_unique<corvane::PostgresConnection>(
                databaseAddress, corvane::PostgresConnection::Durability::Ephemeral);
            limits = std::make_unique<corvane::PostgresRateLimits>(*limiting);
            // Fresh for each process: a restarted relay holds nothing its earlier self held.
            std::string relayId = corvane::Uuid::make();
            std::erase(relayId, '-');
            presence = std::make_unique<corvane::PostgresDevicePresence>(*shared, clock, relayId);
            bus = std::make_unique<corvane::PostgresCommandBus>(*shared, clock, relayId);
            serving.sessions = sessions.get();
            serving.limits = limits.get();
            serving.presence = presence.get();
            serving.bus = bus.get();
        }
        corvane::RelayServer server(store, clock, validator, std::move(serving));
        const quint16 bound = server.listen(address, static_cast<quint16>(portNumber));
        if (bound == 0) {
            say(QStringLiteral("relay: cannot listen on %1 port %2")
                    .arg(address.toString())
                    .arg(portNumber));
            return 1;
        }
        const QString origin = QStringLiteral("https://%1:%2").arg(linkHost).arg(bound);
        say(QStringLiteral("relay: listening on ") + origin);
        say(QStringLiteral("relay: certificate ") + certificate.certificateFile());
        say(QStringLiteral("relay: certificate SHA-256 ") + certificate.fingerprint());
        const QString ownerLink = server.accounts().setupToken().empty()
                                      ? QString()
                                      : origin + QStringLiteral("/#setup=") +
                                            QString::fromStdString(server.accounts().setupToken());
        keepOwnerLink(folder, ownerLink);
        if (!ownerLink.isEmpty()) {
            say(QStringLiteral("relay: create the owner account at ") + ownerLink);
        } else {
            say(QStringLiteral("relay: dashboard at ") + origin + u'/');
        }
        const int code = QCoreApplication::exec();
        QCoro::waitFor(server.stop());
        return code;
    } catch (const std::exception& error) {
        say(QStringLiteral("relay: ") + QString::fromUtf8(error.what()));
        return 1;
    }
}
