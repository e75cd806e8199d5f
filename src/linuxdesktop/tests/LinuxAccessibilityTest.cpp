#include "DesktopServices.h"
#include "DesktopTestSupport.h"

#include "core/JSON.h"
#include "platform/SettingsUserDefaults.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <unistd.h>

namespace corvane {
namespace {

using namespace desktop_services;

const QString login1 = QStringLiteral("org.freedesktop.login1");

// A form of the tests' own, one per toolkit.
struct Form {
    const char* program;
    const char* entry; // its desktop entry, which is its bundle identifier
    const char* windowClass;
};

// What an observation of either form lists. GTK 3 reports its window's extents as the window
// manager's frame (title bar and borders), Qt 6 as the window's own area: the image is whichever
// area was reported.
constexpr std::array<const char*, 4> formLabels{"Name", "Save", "Clear", "Row 0"};

const Form gtkForm{CORVANE_ATSPI_FORM_GTK, "org.velto.FormGtk.desktop", "VeltoAtspiFormGtk"};
const Form qtForm{CORVANE_ATSPI_FORM_QT, "org.velto.FormQt.desktop", "VeltoAtspiFormQt"};

// The real program, headless on the Linux backend, in the desktop run-with-desktop.sh made (a
// display with a window manager, a session bus where the accessibility bus starts on demand),
// with logind mocked on a system bus of its own and desktop control consented to.
class LinuxAccessibilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* variable : {"CORVANE_DISPLAY_UNAVAILABLE", "CORVANE_SETTINGS_UNAVAILABLE",
                                     "CORVANE_ACCESSIBILITY_UNAVAILABLE"}) {
            if (const std::string why = desktop_test::unavailable(variable); !why.empty()) {
                GTEST_SKIP() << why;
            }
        }
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            GTEST_SKIP() << "no X display: run through run-with-desktop.sh";
        }
        if (const QString missing = missingProgram({QStringLiteral("gnome-keyring-daemon")});
            !missing.isEmpty()) {
            GTEST_SKIP() << "the accessibility test needs " << missing.toStdString();
        }
        if (const QString missing = missingDbusmock(); !missing.isEmpty()) {
            GTEST_SKIP() << "the accessibility test needs " << missing.toStdString();
        }
        ASSERT_TRUE(scratch.isValid());
        for (const char* folder : {"data/applications", "config/Corvane", "home", "run"}) {
            ASSERT_TRUE(QDir().mkpath(path(folder)));
        }
        for (const char* folder : {"data", "run"}) {
            QFile::setPermissions(path(folder), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ExeOwner);
        }
        for (const Form& form : {gtkForm, qtForm}) {
            QFile entry(path("data/applications/") + QLatin1String(form.entry));
            ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
            entry.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n"
                                       "StartupWMClass=%1\n")
                            .arg(QLatin1String(form.windowClass), QLatin1String(form.program))
                            .toUtf8());
        }
        systemBus = std::make_unique<PrivateBus>(scratch.path(), QStringLiteral("system"));
        ASSERT_TRUE(systemBus->started());
        logind = startMock(*systemBus, QStringLiteral("logind"), login1);
        ASSERT_NE(logind, nullptr);
        systemBus->call(login1, QStringLiteral("/org/freedesktop/login1"),
                        QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("AddSession"),
                        {QStringLiteral("c7"), QStringLiteral("seat0"),
                         static_cast<unsigned>(::getuid()), QStringLiteral("person"), true});
        environment = {QStringLiteral("HOME=") + path("home"),
                       QStringLiteral("XDG_RUNTIME_DIR=") + path("run"),
                       QStringLiteral("XDG_DATA_HOME=") + path("data"),
                       QStringLiteral("XDG_CONFIG_HOME=") + path("config"),
                       QStringLiteral("XDG_SESSION_ID=c7"),
                       QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + systemBus->address()};
        // The agent keeps its keys in a fresh keyring, unlocked with an empty password.
        keyring = std::make_unique<Service>(QStringLiteral("gnome-keyring-daemon"),
                                            QStringList{QStringLiteral("--foreground"),
                                                        QStringLiteral("--unlock"),
                                                        QStringLiteral("--components=secrets")},
                                            environment);
        keyring->process().write("\n");
        keyring->process().closeWriteChannel();
        ASSERT_TRUE(waitUntil([] {
            return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                QStringLiteral("org.freedesktop.secrets"));
        }));
        // Consent as `velto desktop enable` stores it after the person confirmed.
        SettingsUserDefaults(path("config") + QStringLiteral("/Corvane/defaults.ini"))
            .setBool("desktop-control-consent-v1", true);
        agent = std::make_unique<Service>(QStringLiteral(VELTO_PROGRAM),
                                          QStringList{QStringLiteral("--headless"),
                                                      QStringLiteral("--platform"),
                                                      QStringLiteral("linux")},
                                          environment);
        ASSERT_TRUE(agent->running());
        ASSERT_TRUE(waitUntil([&] { return call(QStringLiteral("get_state")).first == 0; },
                              std::chrono::seconds(30)))
            << agent->process().readAllStandardError().toStdString();
    }

    QString path(const char* folder) const { return scratch.filePath(QLatin1String(folder)); }

    // `velto call --platform linux ACTION PARAMS`: its exit status and the reply it printed.
    std::pair<int, JSON> call(const QString& action, const JSON& params = JSON(JSON::Object{})) {
        Service client(QStringLiteral(VELTO_PROGRAM),
                       {QStringLiteral("call"), QStringLiteral("--json"),
                        QStringLiteral("--platform"), QStringLiteral("linux"), action,
                        QString::fromStdString(params.data())},
                       environment);
        client.process().waitForFinished(30000);
        const QByteArray out = client.process().readAllStandardOutput();
        try {
            return {client.process().exitCode(), JSON::parse(out.trimmed().toStdString())};
        } catch (const std::exception&) {
            return {-1, JSON()};
        }
    }

    // Starts a form (accessibility is on by now: the agent turned it on) and waits until it
    // printed that it is ready.
    std::unique_ptr<Service> start(const Form& form, QStringList arguments = {}) {
        auto app = std::make_unique<Service>(
            QLatin1String(form.program), arguments,
            QStringList{QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1")});
        waitUntil([&] { return printed(*app).contains("ready"); });
        return app;
    }

    QByteArray printed(Service& app) {
        output += app.process().readAllStandardOutput();
        return output;
    }

    // The observation of the form, once its window is in front and its tree is there.
    JSON observe(const Form& form, bool image = false) {
        std::pair<int, JSON> observed;
        waitUntil(
            [&] {
                observed = call(QStringLiteral("desktop_observe"),
                                JSON(JSON::Object{{"bundle_id", JSON(std::string(form.entry))},
                                                  {"include_image", JSON(image)}}));
                // Reads past their time-out leave elements out on a busy machine: look again.
                return observed.first == 0 &&
                       std::all_of(formLabels.begin(), formLabels.end(), [&](const char* label) {
                           return !elementLabelled(observed.second, label).empty();
                       });
            },
            std::chrono::seconds(30));
        return observed.second;
    }

    static std::string elementLabelled(const JSON& observation, std::string_view label,
                                       std::string_view role = {}) {
        const JSON* elements = observation.find("elements");
        for (const JSON& element : elements != nullptr && elements->array() != nullptr
                                       ? *elements->array()
                                       : JSON::Array{}) {
            const std::string* name = element.stringMember("label");
            const std::string* kind = element.stringMember("role");
            if ((role.empty() || (kind != nullptr && *kind == role)) &&
                (label.empty() || (name != nullptr && *name == label))) {
                return *element.stringMember("element_id");
            }
        }
        return {};
    }

    std::pair<int, JSON> act(const JSON& observation, const std::string& operation,
                             const std::string& element, JSON::Object more = {}) {
        const std::string* snapshot = observation.stringMember("snapshot_id");
        if (snapshot == nullptr) {
            ADD_FAILURE() << "no observation to act on";
            return {1, JSON()};
        }
        more.emplace("snapshot_id", JSON(*snapshot));
        more.emplace("operation", JSON(operation));
        more.emplace("element_id", JSON(element));
        return call(QStringLiteral("desktop_act"), JSON(std::move(more)));
    }

    // Observes and acts on the element `pick` chooses: "ok", or the last refusal after a few
    // tries (a check whose read runs past its time-out on a busy machine refuses, as it must).
    std::string actOnFresh(const Form& form, const std::string& operation,
                           const std::function<std::string(const JSON&)>& pick,
                           const JSON::Object& more = {}) {
        std::string outcome;
        for (int attempt = 0; attempt < 5 && outcome != "ok"; ++attempt) {
            const JSON seen = observe(form);
            const std::pair<int, JSON> answer = act(seen, operation, pick(seen), more);
            outcome = answer.first == 0 ? "ok" : answer.second.data();
        }
        return outcome;
    }

    // The pure red pixels of an observation's image: how many, and their centre.
    struct RedRegion {
        int pixels = 0;
        QPointF centre;
    };
    static RedRegion redRegion(const JSON& observation) {
        const JSON* image = observation.find("image");
        const std::string* base64 = image != nullptr ? image->stringMember("base64") : nullptr;
        const QImage decoded = QImage::fromData(
            QByteArray::fromBase64(base64 != nullptr ? QByteArray::fromStdString(*base64) : ""),
            "JPEG");
        RedRegion region;
        double sumX = 0;
        double sumY = 0;
        for (int y = 0; y < decoded.height(); ++y) {
            for (int x = 0; x < decoded.width(); ++x) {
                // JPEG blurs edges: a margin either side of pure red.
                const QColor colour = decoded.pixelColor(x, y);
                if (colour.red() > 200 && colour.green() < 60 && colour.blue() < 60) {
                    ++region.pixels;
                    sumX += x;
                    sumY += y;
                }
            }
        }
        if (region.pixels > 0) {
            region.centre = QPointF(sumX / region.pixels, sumY / region.pixels);
        }
        return region;
    }

    QTemporaryDir scratch;
    QStringList environment;
    std::unique_ptr<PrivateBus> systemBus;
    std::unique_ptr<Service> logind;
    std::unique_ptr<Service> keyring;
    std::unique_ptr<Service> agent;
    QByteArray output;
};

TEST_F(LinuxAccessibilityTest, ObservesAndOperatesFormsOfBothToolkits) {
    for (const Form& form : {gtkForm, qtForm}) {
        SCOPED_TRACE(form.entry);
        output.clear();
        std::unique_ptr<Service> app = start(form);
        const JSON observed = observe(form);
        const std::string text = observed.data();
        ASSERT_EQ(observed.stringMember("bundle_id") != nullptr, true) << text;
        for (const char* label : formLabels) {
            EXPECT_FALSE(elementLabelled(observed, label).empty()) << label << " in " << text;
        }
        // The password field is neither listed nor read.
        EXPECT_EQ(text.find("hunter2"), std::string::npos);
        EXPECT_EQ(text.find("AXSecureTextField"), std::string::npos);
        EXPECT_EQ(elementLabelled(observed, "Password"), std::string());

        EXPECT_EQ(actOnFresh(form, "press",
                             [](const JSON& seen) { return elementLabelled(seen, "Save"); }),
                  "ok");
        EXPECT_TRUE(waitUntil([&] { return printed(*app).contains("pressed Save"); }));
        EXPECT_EQ(actOnFresh(form, "type",
                             [](const JSON& seen) { return elementLabelled(seen, "Name"); },
                             {{"text", JSON("typed here")}}),
                  "ok");
        EXPECT_TRUE(waitUntil([&] { return printed(*app).contains("text typed here"); }))
            << printed(*app).toStdString();

        // The image is the window as drawn: the red block (96 by 48, the window is not scaled
        // down) is in it, and a click at its centre in image points lands on it.
        std::string clicked;
        for (int attempt = 0; attempt < 5 && clicked != "ok"; ++attempt) {
            const JSON seen = observe(form, true);
            const RedRegion red = redRegion(seen);
            EXPECT_GT(red.pixels, 96 * 48 * 3 / 4) << seen.data().substr(0, 400);
            const std::pair<int, JSON> answer =
                act(seen, "click", {}, {{"x", JSON(red.centre.x())}, {"y", JSON(red.centre.y())}});
            clicked = answer.first == 0 ? "ok" : answer.second.data();
        }
        EXPECT_EQ(clicked, "ok");
        EXPECT_TRUE(waitUntil([&] { return printed(*app).contains("pressed Block"); }));
        EXPECT_EQ(actOnFresh(form, "scroll",
                             [](const JSON& seen) {
                                 // Qt reports its scroll area as a plain group (its scroll bars
                                 // are inside it).
                                 const std::string area = elementLabelled(seen, {}, "AXScrollArea");
                                 return area.empty() ? elementLabelled(seen, "", "AXGroup") : area;
                             },
                             {{"direction", JSON("down")}}),
                  "ok");
        EXPECT_TRUE(waitUntil([&] { return printed(*app).contains("pressed scrolled"); }));
        app->stop();
    }
}

TEST_F(LinuxAccessibilityTest, AWindowRenamedAfterTheObservationIsNotActedOn) {
    std::unique_ptr<Service> app = start(gtkForm);
    // A front-window read past its time-out on a busy machine refuses first, as it must, with
    // desktop_window_unavailable: then the test renames and tries again.
    std::string refusal;
    for (int attempt = 1; attempt <= 4 && refusal != "desktop_focus_changed"; ++attempt) {
        const JSON observed = observe(gtkForm);
        ::kill(static_cast<pid_t>(app->process().processId()), SIGUSR1);
        const QByteArray renamed = "renamed " + QByteArray::number(attempt);
        ASSERT_TRUE(waitUntil([&] { return printed(*app).contains(renamed); }));
        const std::pair<int, JSON> answer =
            act(observed, "press", elementLabelled(observed, "Save"));
        const JSON* error = answer.second.find("error");
        const std::string* code = error != nullptr ? error->stringMember("code") : nullptr;
        refusal = code != nullptr ? *code : answer.second.data();
        ASSERT_TRUE(refusal == "desktop_focus_changed" || refusal == "desktop_window_unavailable")
            << refusal;
    }
    EXPECT_EQ(refusal, "desktop_focus_changed");
    EXPECT_FALSE(printed(*app).contains("pressed Save"));
}

} // namespace
} // namespace corvane
