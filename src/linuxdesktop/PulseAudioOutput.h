#pragma once

#include "platform/AudioOutput.h"

#include <QObject>

#include <chrono>
#include <memory>
#include <string>

namespace corvane {

// The default sound output over libpulse (PulseAudio, or PipeWire's pulse server). The connection
// runs on libpulse's own thread (a threaded main loop); the default sink's level and mute are
// kept from its change subscription, so a read costs nothing once the first answer came. Levels
// are percent of the sink's normal volume (its loudest channel), clamped to 0..100; setting one
// keeps the balance between channels. Calls start and resume on the main thread and never wait
// for the server there: each awaits its answer, at most `answerTime`. A lost server is reconnected
// on the next call.
class PulseAudioOutput final : public QObject, public AudioOutput {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds answerTime{3000};

    // `server`: the sound server's address ("unix:/run/user/1000/pulse/native"); empty for the
    // session's own.
    explicit PulseAudioOutput(std::string server = {}, QObject* parent = nullptr);
    ~PulseAudioOutput() override;

    QCoro::Task<std::optional<State>> read() override;
    QCoro::Task<ControlResult> setVolume(int level) override;
    QCoro::Task<ControlResult> setMuted(bool muted) override;

    // Whether the server answered the last time it was asked.
    bool reachable() const;

    // Percent of the normal volume for a raw level, and back; exposed for their table.
    static int percentOf(std::uint32_t volume);
    static std::uint32_t volumeOf(int percent);

private:
    struct Loop;
    QCoro::Task<ControlResult> change(bool volume, int level, bool muted);

    std::unique_ptr<Loop> loop_;
};

} // namespace corvane
