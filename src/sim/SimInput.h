#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

class SimApplications;
class SimEffects;
class SimElementTree;
class SimEventRecord;
class SimSettings;

// Posted keyboard and pointer events, recorded and taking effect: keys to a process type into its
// focused text element, session keys lock the screen or open Control Center, clicks press or
// focus what they hit, scrolls note what they hit.
class SimInput {
public:
    SimInput(SimElementTree& tree, SimEffects& effects, SimApplications& apps,
             SimSettings& settings, SimEventRecord& record)
        : tree_(tree)
        , effects_(effects)
        , apps_(apps)
        , settings_(settings)
        , record_(record) {}

    void keyToProcess(std::uint16_t keyCode, std::uint64_t flags,
                      const std::optional<std::string>& text, std::int32_t pid);
    void keyToSession(std::uint16_t keyCode, std::uint64_t flags,
                      const std::optional<std::string>& text);
    void click(double x, double y, bool right, int count);
    void scroll(double x, double y, std::int32_t pixels);

private:
    void type(std::int32_t pid, std::uint16_t keyCode, std::uint64_t flags,
              const std::optional<std::string>& text);

    SimElementTree& tree_;
    SimEffects& effects_;
    SimApplications& apps_;
    SimSettings& settings_;
    SimEventRecord& record_;
};

} // namespace corvane
