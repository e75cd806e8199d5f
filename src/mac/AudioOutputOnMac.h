#pragma once

#include "mac/MacScripting.h"
#include "platform/AudioOutput.h"

#include <string>
#include <string_view>

namespace corvane {

// The sound output through the Mac's volume scripts. Each call runs one script synchronously and
// completes before its first suspension.
class AudioOutputOnMac final : public AudioOutput {
public:
    explicit AudioOutputOnMac(MacScripting& scripting)
        : scripting_(scripting) {}

    static constexpr std::string_view readScript =
        "set settings to get volume settings\n"
        "return {output volume of settings, output muted of settings}";
    static std::string volumeScript(int level);
    static std::string_view muteScript(bool muted);

    // The rule over the read script's result list.
    static std::optional<State> stateFrom(const MacScripting::Result& result);

    QCoro::Task<std::optional<State>> read() override;
    QCoro::Task<ControlResult> setVolume(int level) override;
    QCoro::Task<ControlResult> setMuted(bool muted) override;

private:
    MacScripting& scripting_;
};

} // namespace corvane
