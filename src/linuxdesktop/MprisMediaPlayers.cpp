#include "linuxdesktop/MprisMediaPlayers.h"

#include "linuxdesktop/DBusCalls.h"

#include <QStringList>

#include <algorithm>

namespace corvane {

namespace {

const QString objectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString rootInterface = QStringLiteral("org.mpris.MediaPlayer2");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString busService = QStringLiteral("org.freedesktop.DBus");
const QString busPath = QStringLiteral("/org/freedesktop/DBus");
const QString listNamesMethod = QStringLiteral("ListNames");
const QString identityProperty = QStringLiteral("Identity");
const QString statusProperty = QStringLiteral("PlaybackStatus");

int playbackRank(const QString& status) {
    if (status == QLatin1String("Playing")) {
        return 0;
    }
    return status == QLatin1String("Paused") ? 1 : 2;
}

std::optional<std::string> text(const QVariant& value) {
    if (value.typeId() == QMetaType::QString) {
        return value.toString().toStdString();
    }
    if (value.typeId() == QMetaType::QStringList) {
        const QStringList parts = value.toStringList();
        if (!parts.isEmpty()) {
            return parts.join(QString(QLatin1String(", "))).toStdString();
        }
    }
    return std::nullopt;
}

} // namespace

MprisMediaPlayers::MprisMediaPlayers(QDBusConnection sessionBus)
    : bus_(std::move(sessionBus)) {}

std::string MprisMediaPlayers::displayName(const QString& busName, const QString& identity) {
    const QString instance = busName.mid(qsizetype(std::char_traits<char>::length(prefix)));
    if (identity.compare(QLatin1String("Spotify"), Qt::CaseInsensitive) == 0 ||
        instance.startsWith(QLatin1String("spotify"), Qt::CaseInsensitive)) {
        return "Spotify";
    }
    return "Music";
}

std::optional<MediaPlayers::Track> MprisMediaPlayers::trackFrom(const QVariantMap& player) {
    const QString status = player.value(QString(QLatin1String("PlaybackStatus"))).toString();
    if (status != QLatin1String("Playing") && status != QLatin1String("Paused")) {
        return std::nullopt;
    }
    const QVariant metadata = DBusCalls::plain(player.value(QString(QLatin1String("Metadata"))));
    if (metadata.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    const QVariantMap fields = metadata.toMap();
    Track track;
    track.title = text(DBusCalls::plain(fields.value(QString(QLatin1String("xesam:title")))));
    track.artist = text(DBusCalls::plain(fields.value(QString(QLatin1String("xesam:artist")))));
    track.playing = status == QLatin1String("Playing");
    return track;
}

QCoro::Task<std::vector<MediaPlayers::Player>> MprisMediaPlayers::running() {
    // Each call is named before it is awaited: GCC 12 destroys temporaries of a co_await
    // expression twice.
    const DBusCalls::Address busDaemon{busService, busPath, busService};
    QCoro::Task<QDBusMessage> listing =
        DBusCalls::call(bus_, busDaemon, listNamesMethod, QVariantList(), answerTime);
    const QDBusMessage names = co_await listing;
    const std::optional<QVariant> list = DBusCalls::firstArgument(names);
    if (!list) {
        co_return std::vector<Player>{};
    }
    struct Found {
        int rank;
        QString busName;
        Player player;
    };
    std::vector<Found> found;
    const QString mpris = QString::fromLatin1(prefix);
    for (const QString& name : list->toStringList()) {
        if (!name.startsWith(mpris) || name.size() == mpris.size()) {
            continue;
        }
        const DBusCalls::Address root{name, objectPath, rootInterface};
        QCoro::Task<std::optional<QVariant>> readingIdentity =
            DBusCalls::property(bus_, root, identityProperty, answerTime);
        const std::optional<QVariant> identity = co_await readingIdentity;
        if (!identity) {
            continue; // gone, or not a player after all
        }
        const DBusCalls::Address controls{name, objectPath, playerInterface};
        QCoro::Task<std::optional<QVariant>> readingStatus =
            DBusCalls::property(bus_, controls, statusProperty, answerTime);
        const std::optional<QVariant> status = co_await readingStatus;
        found.push_back({playbackRank(status ? status->toString() : QString()), name,
                         Player{name.toStdString(), displayName(name, identity->toString())}});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.rank != b.rank ? a.rank < b.rank : a.busName < b.busName;
    });
    std::vector<Player> players;
    players.reserve(found.size());
    for (Found& each : found) {
        players.push_back(std::move(each.player));
    }
    co_return players;
}

QCoro::Task<bool> MprisMediaPlayers::automationPermitted(Player) {
    co_return true;
}

QCoro::Task<std::optional<MediaPlayers::Track>> MprisMediaPlayers::nowPlaying(Player player) {
    const DBusCalls::Address controls{QString::fromStdString(player.id), objectPath,
                                      playerInterface};
    QCoro::Task<std::optional<QVariantMap>> reading =
        DBusCalls::properties(bus_, controls, answerTime);
    const std::optional<QVariantMap> properties = co_await reading;
    if (!properties) {
        co_return std::nullopt;
    }
    co_return trackFrom(*properties);
}

QCoro::Task<ControlResult> MprisMediaPlayers::send(Player player, Command command) {
    const QString name = QString::fromStdString(player.id);
    if (!name.startsWith(QString::fromLatin1(prefix))) {
        co_return ControlResult::NotSent;
    }
    QString method;
    switch (command) {
    case Command::PlayPause:
        method = QString(QLatin1String("PlayPause"));
        break;
    case Command::Next:
        method = QString(QLatin1String("Next"));
        break;
    case Command::Previous:
        method = QString(QLatin1String("Previous"));
        break;
    }
    const DBusCalls::Address controls{name, objectPath, playerInterface};
    QCoro::Task<QDBusMessage> sending =
        DBusCalls::call(bus_, controls, method, QVariantList(), answerTime);
    const QDBusMessage reply = co_await sending;
    co_return reply.type() == QDBusMessage::ReplyMessage ? ControlResult::Done
                                                         : ControlResult::Refused;
}

} // namespace corvane
