#pragma once

#include "platform/MediaPlayers.h"

#include <QDBusConnection>
#include <QString>
#include <QVariantMap>

#include <chrono>

namespace corvane {

// Media players over MPRIS2 on the session bus: every name under org.mpris.MediaPlayer2. is a
// player. The preferred one is the one playing, then a paused one, then any other, by name within
// each. MPRIS asks no permission, so nothing here ever prompts. Each call is asynchronous and
// bounded by `answerTime` per player; main thread only.
class MprisMediaPlayers final : public MediaPlayers {
public:
    static constexpr std::chrono::milliseconds answerTime{2000};
    static constexpr const char* prefix = "org.mpris.MediaPlayer2.";

    explicit MprisMediaPlayers(QDBusConnection sessionBus);

    QCoro::Task<std::vector<Player>> running() override;
    QCoro::Task<bool> automationPermitted(Player player) override;
    QCoro::Task<std::optional<Track>> nowPlaying(Player player) override;
    QCoro::Task<ControlResult> send(Player player, Command command) override;

    // The name reports use for a player: the contract knows two sources, the one streaming
    // service by its name and the desktop's music player as "Music", which every other player is.
    static std::string displayName(const QString& busName, const QString& identity);
    // The track a player's Player properties describe; absent when stopped or without a title.
    static std::optional<Track> trackFrom(const QVariantMap& player);

private:
    QDBusConnection bus_;
};

} // namespace corvane
