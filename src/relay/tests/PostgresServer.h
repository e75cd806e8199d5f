#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace corvane::test {

// A PostgreSQL server of the tests' own: a fresh cluster in a temporary folder, listening only
// on a Unix socket in that folder, without fsync. As root it runs as "nobody" (PostgreSQL
// refuses root), the folder being that user's. Stopped by its process id when destroyed; its
// processes also die with the thread that started them.
class PostgresServer {
public:
    // Starts one, or returns null and says why (the package to install when it is missing).
    // `durable` syncs commits to the disk as a production server does (for measurements).
    static std::unique_ptr<PostgresServer> start(std::string& whyNot, bool durable = false);
    // One server for the whole test process, started on first use (later calls repeat the first
    // answer).
    static PostgresServer* shared(std::string& whyNot);
    // Whether a missing server fails the tests instead of skipping them: on CI, where the
    // project's setup installs it.
    static bool required();

    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // The address of `database` on this server, as the relay takes it.
    std::string address(const std::string& database) const;
    // A new empty database; its name.
    std::string createDatabase();
    // Runs `sql` in `database` as the superuser; the first value of its first row ("" without
    // one). Throws std::runtime_error when it fails.
    std::string run(const std::string& database, const std::string& sql);

    // Ends every process of the server at once (SIGKILL), as a crash would.
    void kill();
    // Stops every process of the server (SIGSTOP), so that statements hang as on a server that
    // stopped answering, or lets them go on (SIGCONT). Callable from any thread.
    void pause(bool stopped);
    // Starts it again on the same folder (after kill). False when it does not come up.
    bool restart();

private:
    PostgresServer() = default;
    bool launch(std::string& whyNot);
    void stop();

    std::string folder_;
    std::string bin_;
    pid_t pid_ = -1;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    bool switchUser_ = false;
    bool durable_ = false;
    int databases_ = 0;
};

} // namespace corvane::test
