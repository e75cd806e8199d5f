#pragma once

#include "platform/FocusModes.h"

#include <QThreadPool>

#include <string>

namespace corvane {

// Do Not Disturb on GNOME: the notification banners setting (org.gnome.desktop.notifications
// show-banners, off while Do Not Disturb is on) through GSettings. The write and its read-back run
// on a worker thread, since the settings service is reached over the session bus. Any other
// desktop, a missing schema, or settings that only live in memory answer Unavailable.
class GnomeFocusModes final : public FocusModes {
public:
    // `desktops`: XDG_CURRENT_DESKTOP's value (colon-separated names).
    explicit GnomeFocusModes(std::string desktops, std::string schema = defaultSchema,
                             std::string key = defaultKey);
    ~GnomeFocusModes() override;

    static std::string currentDesktops();

    QCoro::Task<Outcome> setDoNotDisturb(bool enabled, std::function<void()> beforeChange) override;

    static constexpr const char* defaultSchema = "org.gnome.desktop.notifications";
    static constexpr const char* defaultKey = "show-banners";

private:
    bool gnome_;
    std::string schema_;
    std::string key_;
    QThreadPool pool_;
};

} // namespace corvane
