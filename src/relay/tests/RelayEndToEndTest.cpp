// The real programs together: velto-relay makes its certificate and setup link, the headless agent
// on the simulated Mac pairs with it, the owner approves through the dashboard's API, commands
// travel dashboard → relay → agent → relay → dashboard, and a revocation unpairs the agent.
#include "HttpsClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace corvane::test {
namespace {

class RelayEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home_.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           home_.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        relay_.setProcessEnvironment(environment);
        // Its warnings are read with its output, so no pipe fills up unread.
        relay_.setProcessChannelMode(QProcess::MergedChannels);
        agent_.setProcessEnvironment(environment);
    }

    void TearDown() override {
        for (QProcess* process : {&agent_, &relay_}) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
    }

    bool until(const std::function<bool()>& condition) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > 90000) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            if (relay_.state() != QProcess::NotRunning) {
                relayOut_ += relay_.readAllStandardOutput().toStdString();
            }
            if (agent_.state() != QProcess::NotRunning) {
                agentErr_ += agent_.readAllStandardError().toStdString();
            }
        }
        return true;
    }

    std::string relayLine(const char* pattern) const {
        const QRegularExpressionMatch match =
            QRegularExpression(QString::fromUtf8(pattern)).match(QString::fromStdString(relayOut_));
        return match.hasMatch() ? match.captured(1).toStdString() : std::string();
    }

    // Sends one command and waits for its end; returns the finished view.
    JSON run(HttpsClient& client, const std::map<QByteArray, QByteArray>& session,
             const QString& device, const std::string& action, const JSON& params) {
        const HttpsClient::Reply sent =
            client.post(QStringLiteral("/v1/devices/%1/commands").arg(device),
                        JSON(JSON::Object{{"action", JSON(action)}, {"params", params}}), session);
        EXPECT_EQ(sent.status, 202) << sent.raw.toStdString();
        const QString path = QStringLiteral("/v1/commands/") +
                             QString::fromStdString(*sent.body.stringMember("command_id"));
        JSON view;
        until([&] {
            view = client.get(path, session).body;
            return view.stringMember("state") != nullptr &&
                   *view.stringMember("state") == "finished";
        });
        return view;
    }

    QTemporaryDir home_;
    QProcess relay_;
    QProcess agent_;
    std::string relayOut_;
    std::string agentErr_;
};

TEST_F(RelayEndToEnd, TheAgentPairsTakesCommandsAndIsRevokedThroughTheRealRelay) {
    relay_.start(QStringLiteral(VELTO_RELAY_PROGRAM),
                 {QStringLiteral("--data"), home_.filePath(QStringLiteral("relay")),
                  QStringLiteral("--port"), QStringLiteral("0")});
    ASSERT_TRUE(until([&] { return !relayLine("owner account at (\\S+)").empty(); })) << relayOut_;
    const QString origin = QString::fromStdString(relayLine("listening on (\\S+)"));
    const QString certificate = QString::fromStdString(relayLine("certificate (/\\S+)"));
    const std::string setup = relayLine("#setup=(\\S+)");
    ASSERT_FALSE(relayLine("certificate SHA-256 ([0-9A-F:]{95})").empty()) << relayOut_;

    // A second relay on the same folder stops before it touches the first one's state.
    QProcess second;
    second.setProcessEnvironment(relay_.processEnvironment());
    second.setProcessChannelMode(QProcess::MergedChannels);
    second.start(QStringLiteral(VELTO_RELAY_PROGRAM),
                 {QStringLiteral("--data"), home_.filePath(QStringLiteral("relay")),
                  QStringLiteral("--port"), QStringLiteral("0")});
    ASSERT_TRUE(second.waitForFinished(60000));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_TRUE(second.readAll().startsWith("relay: another relay is using the data folder"));

    // VELTO_PROGRAM in the environment runs another build of the agent against this relay.
    agent_.start(qEnvironmentVariable("VELTO_PROGRAM", QStringLiteral(VELTO_PROGRAM)),
                 {QStringLiteral("--headless"), QStringLiteral("--scenario"),
                  QStringLiteral(VELTO_DEFAULT_SCENARIO), QStringLiteral("--relay"), origin,
                  QStringLiteral("--relay-ca"), certificate});
    std::string code;
    ASSERT_TRUE(until([&] {
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("open in browser: \\S+#pair=(\\S+)"))
                .match(QString::fromStdString(agentErr_));
        code = match.captured(1).toStdString();
        return match.hasMatch();
    })) << agentErr_;

    HttpsClient client(origin, QSslCertificate::fromPath(certificate));
    const HttpsClient::Reply owner =
        client.post(QStringLiteral("/v1/account/setup"),
                    JSON(JSON::Object{{"token", JSON(setup)},
                                      {"name", JSON("owner")},
                                      {"password", JSON("correct horse battery")}}));
    ASSERT_EQ(owner.status, 200) << owner.raw.toStdString();
    const std::map<QByteArray, QByteArray> session{
        {"Cookie", owner.header("set-cookie").split(';').front()},
        {"X-CSRF-Token", QByteArray::fromStdString(*owner.body.stringMember("csrf"))}};
    const HttpsClient::Reply approved = client.post(
        QStringLiteral("/v1/pairings/approve"), JSON(JSON::Object{{"code", JSON(code)}}), session);
    ASSERT_EQ(approved.status, 200) << approved.raw.toStdString();
    const QString device = QString::fromStdString(*approved.body.stringMember("device_id"));
    ASSERT_TRUE(until([&] { return agentErr_.find("status: Mac connected") != std::string::npos; }))
        << agentErr_;

    const JSON devices = client.get(QStringLiteral("/v1/devices"), session).body;
    ASSERT_EQ(devices.find("devices")->array()->size(), 1u);
    const JSON& listed = devices.find("devices")->array()->front();
    EXPECT_TRUE(listed.find("online")->isTrue());
    EXPECT_EQ(*listed.find("capabilities")->stringMember("screen_state"), "unlocked");

    const JSON muted = run(client, session, device, "mute", JSON(JSON::Object{}));
    EXPECT_TRUE(muted.find("ok")->isTrue()) << muted.data();
    EXPECT_EQ(*muted.stringMember("message"), "Audio muted");

    // More commands than the audit shows.
    for (int i = 0; i < 100; ++i) {
        const JSON state = run(client, session, device, "get_state", JSON(JSON::Object{}));
        ASSERT_TRUE(state.find("ok")->isTrue()) << state.data();
    }

    const JSON audit = client.get(QStringLiteral("/v1/devices/%1/audit").arg(device), session).body;
    ASSERT_EQ(audit.find("audit")->array()->size(), 100u); // the newest hundred
    EXPECT_EQ(*audit.find("audit")->array()->front().stringMember("outcome"), "succeeded");

    ASSERT_EQ(client
                  .post(QStringLiteral("/v1/devices/%1/revoke").arg(device), JSON(JSON::Object{}),
                        session)
                  .status,
              200);
    ASSERT_TRUE(until([&] {
        return agentErr_.find("status: Unpaired — revoked") != std::string::npos;
    })) << agentErr_;
}

} // namespace
} // namespace corvane::test
