#pragma once

#include "platform/MediaPlayers.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <map>
#include <optional>
#include <set>

namespace corvane {

// Media players over MPRIS2 on the session bus: every name under org.mpris.MediaPlayer2. is a
// player. The preferred one is the one playing, then a paused one, then any other, by name within
// each. MPRIS asks no permission, so nothing here ever prompts. Each call is asynchronous and
// bounded by `answerTime` per player; main thread only. The players' names are kept from the
// bus's NameOwnerChanged and each one's identity once read, so that finding the players costs one
// question to each; what that question brought serves a now-playing read that follows within
// `freshFor`.
class MprisMediaPlayers final : public QObject, public MediaPlayers {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds answerTime{2000};
    static constexpr std::chrono::milliseconds freshFor{1000};
    static constexpr const char* prefix = "org.mpris.MediaPlayer2.";

    explicit MprisMediaPlayers(QDBusConnection sessionBus, QObject* parent = nullptr);

    QCoro::Task<std::vector<Player>> running() override;
    QCoro::Task<bool> automationPermitted(Player player) override;
    QCoro::Task<std::optional<Track>> nowPlaying(Player player) override;
    QCoro::Task<ControlResult> send(Player player, Command command) override;

    // The name reports use for a player: the contract knows two sources, the one streaming
    // service by its name and the desktop's music player as "Music", which every other player is.
    static std::string displayName(const QString& busName, const QString& identity);
    // The track a player's Player properties describe; absent when stopped or without a title.
    static std::optional<Track> trackFrom(const QVariantMap& player);

private Q_SLOTS:
    void nameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    QCoro::Task<std::optional<std::set<QString>>> listPlayers();
    void startList();

    struct Seen {
        QVariantMap properties;
        std::chrono::steady_clock::time_point at;
    };

    QDBusConnection bus_;
    // The players' bus names once listed, then kept from NameOwnerChanged.
    std::optional<std::set<QString>> names_;
    std::map<QString, QString> identities_;
    std::map<QString, Seen> seen_;
};

} // namespace corvane
