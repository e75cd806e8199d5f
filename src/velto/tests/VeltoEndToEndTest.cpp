// The real program in a temporary home: the headless agent on the simulated Mac, driven through
// `velto call`, `velto sim` and raw loopback requests, then stopped with SIGTERM.
#include "ProgramHome.h"
#include "support/RawHTTPClient.h"

#include "core/JSON.h"
#include "platform/SettingsUserDefaults.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace corvane {
namespace {

using test::Outcome;

class VeltoEndToEnd : public test::ProgramHome {
protected:
    QString path(const char* name) const {
        return home_.filePath(QStringLiteral("data/Corvane/")) + QString::fromUtf8(name);
    }
    std::string file(const char* name) const {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
    }
    mode_t mode(const char* name) const {
        struct stat info {};
        return ::stat(path(name).toUtf8().constData(), &info) == 0 ? info.st_mode & 0777 : 0;
    }
};

TEST_F(VeltoEndToEnd, CommandsThroughTheLoopbackAPIAndTheSimulatedMac) {
    // Before the agent ever ran there is nothing to call.
    const Outcome early = velto({"call", "get_state"});
    EXPECT_EQ(early.exitCode, 1);
    EXPECT_NE(early.err.find("velto --headless"), std::string::npos) << early.err;

    const quint16 port = startAgent();
    ASSERT_NE(port, 0);

    const Outcome api = velto({"local-api"});
    ASSERT_EQ(api.exitCode, 0) << api.err;
    const JSON endpoint = JSON::parse(api.out);
    EXPECT_EQ(endpoint.find("port")->number(), double(port));
    const std::string token = *endpoint.stringMember("token");
    EXPECT_EQ(token.size(), 43u);

    // A second agent on the same home refuses to start instead of taking the first one's place.
    const Outcome second = velto({"--headless"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("already running"), std::string::npos) << second.err;

    const Outcome state = velto({"call", "get_state"});
    ASSERT_EQ(state.exitCode, 0) << state.err << state.out;
    const JSON report = JSON::parse(state.out);
    ASSERT_TRUE(report.isObject()) << state.out;
    ASSERT_NE(report.find("screen_locked"), nullptr) << state.out;
    EXPECT_EQ(report.find("screen_locked")->boolean(), false);
    EXPECT_NE(report.find("audio"), nullptr) << state.out;

    // The same command as raw bytes: the exact answer head, then a refusal of a wrong token.
    {
        test::RawHTTPClient raw(port);
        ASSERT_TRUE(raw.send(
            test::RawHTTPClient::request(port, token, R"({"action":"get_state","params":{}})")));
        const auto reply = raw.readUntilClosed(std::chrono::seconds(20));
        EXPECT_EQ(reply.status(), 200);
        EXPECT_EQ(
            reply.bytes.rfind("HTTP/1.1 200 Response\r\nContent-Type: application/json\r\n", 0),
            0u);
        EXPECT_TRUE(reply.closed);
    }
    {
        test::RawHTTPClient raw(port);
        ASSERT_TRUE(raw.send(
            test::RawHTTPClient::request(port, "wrong", R"({"action":"get_state","params":{}})")));
        EXPECT_EQ(raw.readUntilClosed(std::chrono::seconds(20)).status(), 401);
    }

    // Everyday actions change the simulated Mac, and the next report shows it.
    // Answers are indented for a person; --json keeps the agent's exact bytes.
    const Outcome apps = velto({"call", "list_apps"});
    ASSERT_EQ(apps.exitCode, 0) << apps.err << apps.out;
    EXPECT_NE(apps.out.find(R"(      "bundle_id": "com.apple.TextEdit",)"
                            "\n"),
              std::string::npos)
        << apps.out;
    const Outcome exact = velto({"call", "--json", "list_apps"});
    ASSERT_EQ(exact.exitCode, 0) << exact.err;
    EXPECT_EQ(exact.out.find('\n'), exact.out.size() - 1) << exact.out;
    EXPECT_EQ(JSON::parse(exact.out), JSON::parse(apps.out));
    const Outcome opened = velto({"call", "open_app", R"({"app_name":"textedit"})"});
    EXPECT_EQ(opened.exitCode, 0) << opened.err << opened.out;
    EXPECT_NE(opened.out.find(R"("already_open")"), std::string::npos) << opened.out;
    const Outcome volume = velto({"call", "set_volume", R"({"level":35})"});
    EXPECT_EQ(volume.exitCode, 0) << volume.err << volume.out;
    const Outcome after = velto({"call", "get_state"});
    ASSERT_EQ(after.exitCode, 0) << after.err;
    const JSON afterReport = JSON::parse(after.out);
    ASSERT_NE(afterReport.find("audio"), nullptr) << after.out;
    EXPECT_EQ(afterReport.find("audio")->find("volume")->number(), 35.0) << after.out;
    // A refusal keeps the agent's answer on standard output and says on standard error which
    // field was wrong, or which action was meant.
    const Outcome fractional = velto({"call", "set_volume", R"({"level":50.5})"});
    EXPECT_EQ(fractional.exitCode, 1);
    EXPECT_NE(fractional.out.find("invalid_params"), std::string::npos) << fractional.out;
    EXPECT_NE(fractional.out.find("Check the action’s details, then try again."), std::string::npos)
        << fractional.out;
    EXPECT_NE(fractional.err.find("params.level must be a whole number from 0 to 100, not 50.5"),
              std::string::npos)
        << fractional.err;
    const Outcome url = velto({"call", "open_url", R"({"url":"ftp://x"})"});
    EXPECT_NE(url.out.find("beginning with https:// or http://."), std::string::npos) << url.out;
    const Outcome unknown = velto({"call", "set_volum"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.out.find("action_unsupported"), std::string::npos) << unknown.out;
    EXPECT_NE(unknown.err.find("did you mean 'set_volume'?"), std::string::npos) << unknown.err;

    // Locking the simulated Mac: the next report is the locked replacement.
    const Outcome lock = velto({"sim", "screen", "locked"});
    ASSERT_EQ(lock.exitCode, 0) << lock.err;
    const Outcome locked = velto({"call", "get_state"});
    EXPECT_EQ(locked.exitCode, 0) << locked.err;
    EXPECT_EQ(JSON::parse(locked.out).data(), R"({"screen_locked":true})");
    EXPECT_EQ(velto({"sim", "screen", "unlocked"}).exitCode, 0);
    const Outcome refused = velto({"sim", "volume", "7", "8"});
    EXPECT_EQ(refused.exitCode, 2);

    // What the agent kept: every command in the log, the ids in the ledger, both private.
    const std::string log = file("commands.jsonl");
    std::size_t records = 0;
    for (std::size_t at = 0; (at = log.find('\n', at)) != std::string::npos; ++at) {
        ++records;
    }
    EXPECT_GE(records, 6u) << log;
    EXPECT_NE(log.find(R"("action":"get_state")"), std::string::npos);
    EXPECT_NE(log.find(R"("outcome":"succeeded")"), std::string::npos);
    EXPECT_EQ(mode("commands.jsonl"), 0600u);
    // Local commands carry ids the agent made itself, which never repeat: none is reserved.
    EXPECT_EQ(file("dedup.json"), "");

    // SIGTERM ends the agent cleanly.
    ASSERT_TRUE(stopAgent()) << err_;
    EXPECT_NE(err_.find("status: Unpaired"), std::string::npos) << err_;
    EXPECT_NE(err_.find("last command: "), std::string::npos) << err_;
}

// The default scenario's Safari: its unpinned tabs close, the pinned ones stay.
TEST_F(VeltoEndToEnd, CloseBrowserTabsKeepsSafarisPinnedTabs) {
    ASSERT_NE(startAgent(), 0);
    const Outcome closed = velto({"call", "close_browser_tabs", R"({"browser":"safari"})"});
    ASSERT_EQ(closed.exitCode, 0) << closed.err << closed.out;
    EXPECT_EQ(JSON::parse(closed.out).data(), "{}");

    const Outcome state = velto({"sim", "state"});
    ASSERT_EQ(state.exitCode, 0) << state.err;
    const JSON report = JSON::parse(state.out);
    const JSON* elements = report.find("elements");
    ASSERT_NE(elements, nullptr) << state.out;
    std::vector<std::string> tabs;
    for (const auto& [name, attributes] : *elements->object()) {
        const std::string* identifier = attributes.stringMember("AXIdentifier");
        if (identifier != nullptr && identifier->starts_with("TabBarTab?")) {
            tabs.push_back(name + (identifier->ends_with("&isPinned=true") ? " pinned" : ""));
        }
    }
    EXPECT_EQ(tabs, (std::vector<std::string>{"safari.w1.tab0 pinned", "safari.w1.tab1 pinned",
                                              "safari.w2.tab0 pinned"}));
}

TEST_F(VeltoEndToEnd, RefusedCommandLinesExitTwoWithOneLine) {
    using Words = std::vector<const char*>;
    for (const Words& arguments :
         {Words{"--frobnicate"}, Words{"sim", "screen", "dim"}, Words{"call"}}) {
        SCOPED_TRACE(arguments.back());
        const Outcome run = velto(arguments);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
    for (const Words& arguments : {Words{"sim", "--help"}, Words{"help", "sim"},
                                   Words{"sim", "--platform", "sim", "--help"}}) {
        SCOPED_TRACE(arguments.front() + std::string(" ") + arguments.back());
        const Outcome help = velto(arguments);
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_NE(help.out.find("screen locked|unlocked|inactive|unknown"), std::string::npos);
    }
    const Outcome version = velto({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("velto ", 0), 0u) << version.out;
    EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1) << version.out;

    // The actions come from the contract document beside the program, as does the completion.
    const Outcome actions = velto({"help", "call"});
    EXPECT_EQ(actions.exitCode, 0) << actions.err;
    EXPECT_NE(actions.out.find("    level (required): a whole number from 0 to 100."),
              std::string::npos)
        << actions.out;
    const Outcome completion = velto({"completion", "bash"});
    EXPECT_EQ(completion.exitCode, 0) << completion.err;
    EXPECT_NE(completion.out.find(" set_volume "), std::string::npos) << completion.out;
}

// Agents started at the same moment on one data folder: exactly one runs, the others say why and
// leave the folder alone.
TEST_F(VeltoEndToEnd, OfTwentySimultaneousStartsExactlyOneRuns) {
    constexpr int starts = 20;
    std::vector<std::unique_ptr<QProcess>> agents;
    for (int i = 0; i < starts; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment_);
        process->start(QStringLiteral(VELTO_PROGRAM),
                       {QStringLiteral("--headless"), QStringLiteral("--scenario"),
                        QStringLiteral(VELTO_DEFAULT_SCENARIO)});
        agents.push_back(std::move(process));
    }
    // Poll until all but one have ended (the one that runs never ends by itself).
    std::vector<bool> ended(starts, false);
    int refused = 0;
    QElapsedTimer timer;
    timer.start();
    while (refused < starts - 1 && timer.elapsed() < 90000) {
        for (int i = 0; i < starts; ++i) {
            if (!ended[i] && agents[i]->waitForFinished(20)) {
                ended[i] = true;
                const std::string err = agents[i]->readAllStandardError().toStdString();
                EXPECT_EQ(agents[i]->exitCode(), 1) << err;
                EXPECT_NE(err.find("already running"), std::string::npos) << err;
                ++refused;
            }
        }
    }
    QProcess* survivor = nullptr;
    for (int i = 0; i < starts; ++i) {
        if (!ended[i]) {
            EXPECT_EQ(survivor, nullptr) << "two agents run on one folder";
            survivor = agents[i].get();
        }
    }
    EXPECT_EQ(refused, starts - 1);
    ASSERT_NE(survivor, nullptr);
    ::kill(static_cast<pid_t>(survivor->processId()), SIGTERM);
    ASSERT_TRUE(survivor->waitForFinished(20000));
    EXPECT_EQ(survivor->exitCode(), 0);
    // The one that ran left no temporary file of any writer behind.
    QDir data(home_.filePath(QStringLiteral("data/Corvane")));
    for (const QString& name : data.entryList(QDir::Files | QDir::Hidden)) {
        EXPECT_FALSE(name.contains(QStringLiteral(".tmp"))) << name.toStdString();
    }
}

// Under a descriptor limit too low to run, the program says so instead of aborting in its event
// loop; a soft limit the hard one allows to raise is raised.
TEST_F(VeltoEndToEnd, TooFewDescriptorsAreSaidPlainly) {
    struct Row {
        const char* limit;
        const char* words;
        const char* said;
    } const rows[] = {
        {"ulimit -n 12", "--headless",
         "velto: too few file descriptors (the limit is 12, at least 256 are needed): raise it "
         "with 'ulimit -n 256'\n"},
        {"ulimit -n 12", "call get_state", "at least 32 are needed"},
        {"ulimit -Sn 12", "call get_state", "no loopback port has been chosen yet"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.limit) + " " + row.words);
        QProcess process;
        process.setProcessEnvironment(environment_);
        process.start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"),
                       QString::fromUtf8(row.limit) + QStringLiteral(" && exec \"$0\" ") +
                           QString::fromUtf8(row.words),
                       QStringLiteral(VELTO_PROGRAM)});
        ASSERT_TRUE(process.waitForFinished(30000));
        const std::string err = process.readAllStandardError().toStdString();
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 1) << err;
        EXPECT_NE(err.find(row.said), std::string::npos) << err;
    }
}

// The live (not zombie) processes: their command lines and process groups.
struct Running {
    std::string commandLine;
    pid_t group = 0;
};
// A file of a process that may end while it is read: empty then.
std::string readProcessFile(const std::filesystem::path& path) {
    try {
        std::ifstream file(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), {});
    } catch (const std::exception&) {
        return {};
    }
}

std::vector<Running> liveProcesses() {
    std::vector<Running> live;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string line = readProcessFile(entry.path() / "stat");
        char state = 0;
        long parent = 0;
        long group = 0;
        // "pid (name) state ppid pgrp ...": the name may hold anything.
        const std::size_t close = line.rfind(')');
        if (close != std::string::npos &&
            std::sscanf(line.c_str() + close + 1, " %c %ld %ld", &state, &parent, &group) == 3 &&
            state != 'Z') {
            live.push_back({readProcessFile(entry.path() / "cmdline"), static_cast<pid_t>(group)});
        }
    }
    return live;
}

// SIGTERM while a Shortcut runs ends the tool and what it started, instead of leaving them to init.
TEST_F(VeltoEndToEnd, SigtermEndsARunningShortcutsGroup) {
    SettingsUserDefaults(home_.filePath(QStringLiteral("config/Corvane/defaults.ini")))
        .setStringList("shortcuts", {"Slow Report"});
    ASSERT_NE(startAgent(), 0);
    QProcess call;
    call.setProcessEnvironment(environment_);
    call.start(QStringLiteral(VELTO_PROGRAM),
               {QStringLiteral("call"), QStringLiteral("run_shortcut"),
                QStringLiteral(R"({"name":"Slow Report"})")});
    const std::string script = path("sim/usr/bin/shortcuts").toStdString();
    pid_t group = 0;
    ASSERT_TRUE(until([&] {
        for (const Running& process : liveProcesses()) {
            if (process.commandLine.find(script) != std::string::npos) {
                group = process.group;
            }
        }
        return group != 0;
    }));

    ASSERT_TRUE(stopAgent()) << err_;
    const auto groupGone = [&] {
        const std::vector<Running> live = liveProcesses();
        return std::none_of(live.begin(), live.end(),
                            [&](const Running& process) { return process.group == group; });
    };
    EXPECT_TRUE(until(groupGone, std::chrono::seconds(10)));
    call.waitForFinished(20000);
}
} // namespace
} // namespace corvane
