#pragma once

#include "core/WorkerPool.h"

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace corvane {

// One PostgreSQL connection whose statements run on a thread of its own, one at a time in the
// order given, so that the main thread only awaits them. It connects at the first statement and
// again at the next one after the connection was lost (the statement in progress then fails).
// Failures are RelayStoreError, whose text never repeats the address or a row's values. The
// tables it is used on come from the relay store's migrations: open PostgresRelayStore first.
class PostgresConnection {
public:
    // A statement's values in text form, in order; an empty optional is SQL NULL.
    using Values = std::vector<std::optional<std::string>>;

    // Values made in a plain function: GCC 12 miscompiles some braced lists in coroutine bodies.
    template <typename... Texts>
    static Values values(Texts&&... texts) {
        Values out;
        (out.emplace_back(std::forward<Texts>(texts)), ...);
        return out;
    }

    // A finished statement's rows, in text form.
    class Rows {
    public:
        Rows() = default;
        explicit Rows(pg_result* result);
        int count() const;
        bool isNull(int row, int column) const;
        std::string text(int row, int column) const;
        std::int64_t integer(int row, int column) const;
        // Rows a command changed.
        std::int64_t affected() const;

    private:
        std::shared_ptr<pg_result> result_;
    };

    // How long what this connection writes must last: Durable commits wait for the server's
    // disk; Ephemeral ones (rate-limit events, which only ever stop guessing for a while) do
    // not, so a flood of them never queues on the disk ahead of devices' commands. Either way
    // a crash leaves the database consistent; Ephemeral may lose the newest events.
    enum class Durability { Durable, Ephemeral };

    // `address` as the store takes it; nothing is connected yet.
    explicit PostgresConnection(std::string address, Durability durability = Durability::Durable);
    ~PostgresConnection();
    PostgresConnection(const PostgresConnection&) = delete;
    PostgresConnection& operator=(const PostgresConnection&) = delete;

    const std::string& address() const noexcept { return address_; }

    // Runs one statement on the connection's thread; its values travel apart from its text.
    // `operation` and `sql` must outlive the call (literals).
    QCoro::Task<Rows> run(const char* operation, const char* sql, Values values);
    // The same on the calling thread, which waits for it: for callers that cannot await. It
    // takes its turn with the statements run() has under way.
    Rows runNow(const char* operation, const char* sql, const Values& values);

    // libpq's connection settings for relay connections (time-outs, encoding, keep-alives);
    // the address's own settings win over them. Null-terminated key and value lists.
    static std::vector<const char*> settingKeys();
    static std::vector<const char*> settingValues(const std::string& address,
                                                  const char* applicationName);
    // libpq's message, cut to its first line (the rest may quote values).
    static std::string firstLine(const char* message);

private:
    Rows runHere(const char* operation, const char* sql, const Values& values);
    pg_conn* connection();

    std::string address_;
    Durability durability_;
    std::unique_ptr<pg_conn, void (*)(pg_conn*)> connection_;
    std::mutex busy_; // one statement at a time, from either thread
    // Declared last: going away waits for the statement under way before the connection closes.
    WorkerPool thread_{1};
};

} // namespace corvane
