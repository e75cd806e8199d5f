#pragma once

#include "platform/OSVersion.h"
#include "platform/PlatformValue.h"
#include "platform/RunningApplication.h"

#include <QObject>
#include <qcoro/qcorotask.h>

#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Applications and the user's session: what runs, what is in front, where bundles are, and the
// requests to open, activate and quit. Lives on the main thread; its signals are the session
// notifications.
class Workspace : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~Workspace() override = default;

    // Running applications in the platform's own order.
    virtual std::vector<RunningApplication> runningApplications() const = 0;
    virtual std::optional<RunningApplication> frontmostApplication() const = 0;

    // Path of the installed application bundle with this identifier, when the platform knows one.
    virtual std::optional<std::string> applicationPath(const std::string& bundleID) const = 0;
    // Opens the application at `path`, activating it when asked; throws a ContractError or an
    // error of the platform's own kind when the open fails.
    virtual QCoro::Task<void> openApplication(std::string path, bool activate) = 0;
    // Opens a URL in the default handler; false when the platform refuses.
    virtual bool openURL(const std::string& url) = 0;
    // Asks the application to come to the front; false when the request was not accepted.
    virtual bool activate(std::int32_t pid) = 0;
    // A normal quit request (never forced); false when the application refuses the request.
    virtual bool terminate(std::int32_t pid) = 0;

    virtual std::string hostName() const = 0;
    virtual OSVersion osVersion() const = 0;

Q_SIGNALS:
    void willSleep();
    void didWake();
    void sessionDidResignActive();
    void sessionDidBecomeActive();
};

} // namespace corvane
