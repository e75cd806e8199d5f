#include "sim/SimulatedMac.h"

#include "core/SystemClock.h"
#include "mac/MacAdapter.h"
#include "platform/SettingsUserDefaults.h"
#include "sim/SimAccessibility.h"
#include "sim/SimAppCatalog.h"
#include "sim/SimConsoleSession.h"
#include "sim/SimControlCommands.h"
#include "sim/SimControlServer.h"
#include "sim/SimHostStats.h"
#include "sim/SimInputEvents.h"
#include "sim/SimKeychain.h"
#include "sim/SimLoginItems.h"
#include "sim/SimModel.h"
#include "sim/SimPower.h"
#include "sim/SimProcessRunner.h"
#include "sim/SimScenario.h"
#include "sim/SimScenarioError.h"
#include "sim/SimScreenCapture.h"
#include "sim/SimScripting.h"
#include "sim/SimUserPrompts.h"
#include "sim/SimWorkspace.h"

#include <QFile>

namespace corvane {

namespace {

template <typename T>
T& ownOr(T* given, std::unique_ptr<T>& own, auto make) {
    if (given != nullptr) {
        return *given;
    }
    own = make();
    return *own;
}

} // namespace

SimulatedMac::SimulatedMac(QString root, Options options)
    : clock_(ownOr<Clock>(options.clock, ownClock_, [] { return std::make_unique<SystemClock>(); }))
    // Preferences are real on every backend: without a store of the caller's, a settings file
    // under the root.
    , defaults_(ownOr<UserDefaults>(options.defaults, ownDefaults_,
                                    [&root] {
                                        return std::make_unique<SettingsUserDefaults>(
                                            root + QStringLiteral("/defaults.ini"));
                                    }))
    , model_(std::make_unique<SimModel>(std::move(root), clock_))
    , workspace_(std::make_unique<SimWorkspace>(*model_))
    , console_(std::make_unique<SimConsoleSession>(*model_))
    , accessibility_(std::make_unique<SimAccessibility>(*model_))
    , input_(std::make_unique<SimInputEvents>(*model_))
    , scripting_(std::make_unique<SimScripting>(*model_))
    , power_(std::make_unique<SimPower>(*model_))
    , host_(std::make_unique<SimHostStats>(*model_))
    , appCatalog_(std::make_unique<SimAppCatalog>(*model_))
    , screenCapture_(std::make_unique<SimScreenCapture>(*model_))
    , keychain_(std::make_unique<SimKeychain>(*model_))
    , processes_(std::make_unique<SimProcessRunner>(*model_))
    , loginItems_(std::make_unique<SimLoginItems>(*model_))
    , prompts_(std::make_unique<SimUserPrompts>(*model_))
    , adapter_(std::make_unique<MacAdapter>(macPorts()))
    , commands_(std::make_unique<SimControlCommands>(*model_)) {}

SimulatedMac::SimulatedMac(QString root)
    : SimulatedMac(std::move(root), Options{}) {}

SimulatedMac::~SimulatedMac() = default;

void SimulatedMac::load(std::string_view scenarioText) {
    const JSON scenario = SimScenario::parse(scenarioText);
    model_->with([&](SimParts& mac) {
        // Items the agent saved under this root win over the scenario's, as a real keychain keeps
        // its items whatever else changes. Read under the lock, so that no change the agent makes
        // meanwhile is lost, and before anything is applied, so that a bad file refuses the load.
        std::optional<JSON> saved = SimKeychain::savedItems(model_->root());
        mac.load(scenario);
        if (saved) {
            mac.settings.put({"keychain", "items"}, std::move(*saved));
        }
    });
}

void SimulatedMac::loadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw SimScenarioError("scenario: cannot read " + path.toStdString() + " (" +
                               file.errorString().toStdString() + ")");
    }
    const QByteArray bytes = file.readAll();
    load(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

bool SimulatedMac::listen(const QString& socketPath, QString* error) {
    if (!server_) {
        server_ = std::make_unique<SimControlServer>(*commands_);
    }
    return server_->listen(socketPath, error);
}

Platform SimulatedMac::platform() {
    return Platform{.workspace = *workspace_,
                    .bundles = adapter_->bundles(),
                    .sessionLock = adapter_->sessionLock(),
                    .accessibility = adapter_->accessibility(),
                    .input = adapter_->input(),
                    .focusModes = adapter_->focusModes(),
                    .audio = adapter_->audio(),
                    .mediaPlayers = adapter_->mediaPlayers(),
                    .powerSources = adapter_->powerSources(),
                    .host = *host_,
                    .appCatalog = *appCatalog_,
                    .screenCapture = *screenCapture_,
                    .keychain = *keychain_,
                    .processes = *processes_,
                    .loginItems = *loginItems_,
                    .defaults = defaults_,
                    .prompts = *prompts_,
                    .clock = clock_};
}

MacPorts SimulatedMac::macPorts() {
    return MacPorts{.workspace = *workspace_,
                    .bundles = *workspace_,
                    .console = *console_,
                    .accessibility = *accessibility_,
                    .input = *input_,
                    .scripting = *scripting_,
                    .power = *power_,
                    .clock = clock_};
}

SimModel& SimulatedMac::model() {
    return *model_;
}

SimControlCommands& SimulatedMac::commands() {
    return *commands_;
}

SimProcessRunner& SimulatedMac::processes() {
    return *processes_;
}

} // namespace corvane
