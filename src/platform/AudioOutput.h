#pragma once

#include "platform/ControlResult.h"

#include <qcoro/qcorotask.h>

#include <optional>

namespace corvane {

// The default sound output: its level and mute. Awaitable, since a real backend asks the sound
// server in another process; calls start and resume on the main thread.
class AudioOutput {
public:
    virtual ~AudioOutput() = default;

    struct State {
        int volume = 0; // 0 to 100
        bool muted = false;
        bool operator==(const State&) const = default;
    };
    // Absent when the output cannot be read or answers with something that is not a level and a
    // mute flag.
    virtual QCoro::Task<std::optional<State>> read() = 0;
    // `level` from 0 to 100.
    virtual QCoro::Task<ControlResult> setVolume(int level) = 0;
    virtual QCoro::Task<ControlResult> setMuted(bool muted) = 0;
};

} // namespace corvane
