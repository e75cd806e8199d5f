#include "linuxdesktop/MprisMediaPlayers.h"

#include "linuxdesktop/DBusCalls.h"

#include <QPointer>
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

MprisMediaPlayers::MprisMediaPlayers(QDBusConnection sessionBus, QObject* parent)
    : QObject(parent)
    , bus_(std::move(sessionBus)) {
    // Subscribed before the first list, so that no change falls between the two.
    bus_.connect(busService, busPath, busService, QStringLiteral("NameOwnerChanged"), this,
                 SLOT(nameOwnerChanged(QString, QString, QString)));
    startList();
}

void MprisMediaPlayers::startList() {
    [](QPointer<MprisMediaPlayers> self,
       QCoro::Task<std::optional<std::set<QString>>> listing) -> QCoro::Task<> {
        const std::optional<std::set<QString>> names = co_await listing;
        if (self && names && !self->names_) {
            self->names_ = names;
        }
    }(QPointer<MprisMediaPlayers>(this), listPlayers());
}

void MprisMediaPlayers::nameOwnerChanged(const QString& name, const QString&,
                                         const QString& newOwner) {
    if (!name.startsWith(QLatin1String(prefix))) {
        return;
    }
    identities_.erase(name);
    seen_.erase(name);
    if (names_) {
        if (newOwner.isEmpty()) {
            names_->erase(name);
        } else {
            names_->insert(name);
        }
    }
}

QCoro::Task<std::optional<std::set<QString>>> MprisMediaPlayers::listPlayers() {
    // Each call is named before it is awaited: GCC 12 destroys temporaries of a co_await
    // expression twice.
    const DBusCalls::Address busDaemon{busService, busPath, busService};
    QCoro::Task<QDBusMessage> listing =
        DBusCalls::call(bus_, busDaemon, listNamesMethod, QVariantList(), answerTime);
    const QDBusMessage names = co_await listing;
    const std::optional<QVariant> list = DBusCalls::firstArgument(names);
    if (!list) {
        co_return std::nullopt;
    }
    std::set<QString> players;
    const QString mpris = QString::fromLatin1(prefix);
    for (const QString& name : list->toStringList()) {
        if (name.startsWith(mpris) && name.size() > mpris.size()) {
            players.insert(name);
        }
    }
    co_return players;
}

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
    QPointer<MprisMediaPlayers> self(this);
    std::set<QString> names;
    if (names_) {
        names = *names_;
    } else {
        QCoro::Task<std::optional<std::set<QString>>> listing = listPlayers();
        const std::optional<std::set<QString>> listed = co_await listing;
        if (!self || !listed) {
            co_return std::vector<Player>{};
        }
        names = *listed;
    }
    struct Found {
        int rank;
        QString busName;
        Player player;
    };
    std::vector<Found> found;
    for (const QString& name : names) {
        QString identity;
        if (const auto known = identities_.find(name); known != identities_.end()) {
            identity = known->second;
        } else {
            const DBusCalls::Address root{name, objectPath, rootInterface};
            QCoro::Task<std::optional<QVariant>> readingIdentity =
                DBusCalls::property(bus_, root, identityProperty, answerTime);
            const std::optional<QVariant> answer = co_await readingIdentity;
            if (!self) {
                co_return std::vector<Player>{};
            }
            if (!answer) {
                continue; // gone, or not a player after all
            }
            identity = answer->toString();
            identities_[name] = identity;
        }
        const DBusCalls::Address controls{name, objectPath, playerInterface};
        QCoro::Task<std::optional<QVariantMap>> reading =
            DBusCalls::properties(bus_, controls, answerTime);
        const std::optional<QVariantMap> properties = co_await reading;
        if (!self) {
            co_return std::vector<Player>{};
        }
        if (!properties) {
            // Gone (its notice may still be on the way) or not answering: nothing of it is kept.
            seen_.erase(name);
            identities_.erase(name);
            continue;
        }
        seen_[name] = Seen{*properties, std::chrono::steady_clock::now()};
        const QString status = properties->value(statusProperty).toString();
        found.push_back(
            {playbackRank(status), name, Player{name.toStdString(), displayName(name, identity)}});
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
    // What the list just brought, when it is fresh; used once.
    const QString name = QString::fromStdString(player.id);
    if (const auto seen = seen_.find(name); seen != seen_.end()) {
        const Seen recent = seen->second;
        seen_.erase(seen);
        if (std::chrono::steady_clock::now() - recent.at < freshFor) {
            co_return trackFrom(recent.properties);
        }
    }
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
    seen_.erase(name); // the command changes what it plays
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
