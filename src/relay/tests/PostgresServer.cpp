#include "PostgresServer.h"

#include <libpq-fe.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::test {

namespace {

using namespace std::chrono_literals;

// The newest installed server's programs, or "" without one.
std::string serverPrograms() {
    std::string best;
    int bestVersion = -1;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
        const std::string version = entry.path().filename().string();
        const std::filesystem::path bin = entry.path() / "bin";
        if (std::filesystem::exists(bin / "initdb") && std::filesystem::exists(bin / "postgres") &&
            std::atoi(version.c_str()) > bestVersion) {
            bestVersion = std::atoi(version.c_str());
            best = bin.string();
        }
    }
    return best;
}

std::string tail(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    const std::string all = text.str();
    return all.size() > 600 ? all.substr(all.size() - 600) : all;
}

bool exited(pid_t pid, int* status = nullptr) {
    int ignored = 0;
    return ::waitpid(pid, status != nullptr ? status : &ignored, WNOHANG) == pid;
}

// The state letter and parent of a process from /proc ("pid (command) state ppid ..."; the
// command may hold spaces, so it is read after the last ')'); state 0 when there is none.
std::pair<char, pid_t> processStatus(const std::filesystem::path& folder) {
    std::ifstream stat(folder / "stat");
    const std::string line((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const std::size_t close = line.rfind(')');
    std::istringstream rest(close == std::string::npos ? std::string() : line.substr(close + 1));
    char state = 0;
    pid_t ppid = 0;
    if (!(rest >> state >> ppid)) {
        return {0, 0};
    }
    return {state, ppid};
}

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> out;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            processStatus(entry.path()).second == parent) {
            out.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return out;
}

// Running: neither gone nor a zombie waiting for its new parent.
bool running(pid_t pid) {
    const char state = processStatus("/proc/" + std::to_string(pid)).first;
    return state != 0 && state != 'Z' && state != 'X';
}

} // namespace

bool PostgresServer::required() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

std::unique_ptr<PostgresServer> PostgresServer::start(std::string& whyNot, bool durable) {
    std::unique_ptr<PostgresServer> server(new PostgresServer());
    server->durable_ = durable;
    server->bin_ = serverPrograms();
    if (server->bin_.empty()) {
        whyNot = "PostgreSQL is not installed (Debian package postgresql)";
        return nullptr;
    }
    std::string folder = (std::filesystem::temp_directory_path() / "velto-pg-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        whyNot = "cannot make a temporary folder";
        return nullptr;
    }
    server->folder_ = folder;
    // PostgreSQL refuses to run as root.
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        const group* nogroup = ::getgrnam("nogroup");
        if (nobody == nullptr || nogroup == nullptr) {
            whyNot = "no user nobody and group nogroup to run PostgreSQL as";
            return nullptr;
        }
        server->switchUser_ = true;
        server->uid_ = nobody->pw_uid;
        server->gid_ = nogroup->gr_gid;
        if (::chown(folder.c_str(), server->uid_, server->gid_) != 0) {
            whyNot = "cannot give the temporary folder to nobody";
            return nullptr;
        }
    }
    if (!server->launch(whyNot)) {
        return nullptr;
    }
    return server;
}

PostgresServer* PostgresServer::shared(std::string& whyNot) {
    // One per test process (and stopped when it ends), as starting a cluster takes a second.
    static std::string why;
    static const std::unique_ptr<PostgresServer> server = start(why);
    whyNot = why;
    return server.get();
}

PostgresServer::~PostgresServer() {
    stop();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::string PostgresServer::address(const std::string& database) const {
    return "postgresql:///" + database + "?host=" + folder_ + "&user=velto";
}

bool PostgresServer::launch(std::string& whyNot) {
    const std::string data = folder_ + "/data";
    const std::string log = folder_ + "/server.log";
    // fork and exec (not QProcess): the child drops root and asks to die with this thread.
    const auto spawn = [&](std::vector<std::string> args) -> pid_t {
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            if (switchUser_ &&
                (::setgroups(0, nullptr) != 0 || ::setgid(gid_) != 0 || ::setuid(uid_) != 0)) {
                ::_exit(126);
            }
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (out >= 0) {
                ::dup2(out, STDOUT_FILENO);
                ::dup2(out, STDERR_FILENO);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (out >= 0) {
            ::close(out);
        }
        return pid;
    };

    if (!std::filesystem::exists(data)) {
        const pid_t initdb = spawn({bin_ + "/initdb", "-D", data, "-U", "velto", "--auth=trust",
                                    "-E", "UTF8", "--locale=C", "--no-sync"});
        int status = 0;
        if (initdb < 0 || ::waitpid(initdb, &status, 0) != initdb || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            whyNot = "initdb failed: " + tail(log);
            return false;
        }
    }
    // Commits reach the kernel before they are answered (a killed server keeps them), but
    // unless durable are never synced to the disk.
    pid_ = spawn({bin_ + "/postgres", "-D", data, "-k", folder_, "-c", "listen_addresses=", "-c",
                  durable_ ? "fsync=on" : "fsync=off", "-c",
                  durable_ ? "full_page_writes=on" : "full_page_writes=off", "-c",
                  "max_connections=40"});
    if (pid_ < 0) {
        whyNot = "cannot start postgres";
        return false;
    }
    const std::string ping = address("postgres");
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (PQping(ping.c_str()) == PQPING_OK) {
            return true;
        }
        if (exited(pid_)) {
            pid_ = -1;
            whyNot = "postgres stopped at once: " + tail(log);
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    whyNot = "postgres did not answer within 30 s: " + tail(log);
    stop();
    return false;
}

void PostgresServer::stop() {
    if (pid_ <= 0) {
        return;
    }
    // Fast shutdown: open connections are ended, not waited for.
    ::kill(pid_, SIGINT);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!exited(pid_)) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    pid_ = -1;
}

void PostgresServer::kill() {
    if (pid_ <= 0) {
        return;
    }
    // Its backends too, at once: one that outlived the server for a moment could still answer
    // a query. They are children of the server, found by their parent's id.
    const std::vector<pid_t> children = childrenOf(pid_);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    for (const pid_t child : children) {
        ::kill(child, SIGKILL);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (const pid_t child : children) {
        while (running(child) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
    }
    pid_ = -1;
}

void PostgresServer::pause(bool stopped) {
    if (pid_ <= 0) {
        return;
    }
    // Each connection is served by a backend of its own, a child of the server.
    const int signal = stopped ? SIGSTOP : SIGCONT;
    ::kill(pid_, signal);
    for (const pid_t child : childrenOf(pid_)) {
        ::kill(child, signal);
    }
}

bool PostgresServer::restart() {
    // Backends left by a killed server leave shortly after it; until then its shared memory is
    // in use and a new server refuses to start.
    std::string why;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (launch(why)) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

std::string PostgresServer::createDatabase() {
    const std::string name = "relay" + std::to_string(++databases_);
    run("postgres", "CREATE DATABASE " + name);
    return name;
}

std::string PostgresServer::run(const std::string& database, const std::string& sql) {
    const std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(address(database).c_str()),
                                                          PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        throw std::runtime_error(PQerrorMessage(conn.get()));
    }
    const std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()),
                                                                PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw std::runtime_error(sql + ": " + PQerrorMessage(conn.get()));
    }
    return PQntuples(result.get()) > 0 ? PQgetvalue(result.get(), 0, 0) : "";
}

} // namespace corvane::test
