#include "relay/PostgresConnection.h"

#include "relay/PostgresRelayStore.h"
#include "relay/RelayStoreError.h"

#include <libpq-fe.h>

#include <charconv>

namespace corvane {

PostgresConnection::Rows::Rows(pg_result* result)
    : result_(result, PQclear) {}

int PostgresConnection::Rows::count() const {
    return result_ ? PQntuples(result_.get()) : 0;
}

bool PostgresConnection::Rows::isNull(int row, int column) const {
    return row >= count() || PQgetisnull(result_.get(), row, column) != 0;
}

std::string PostgresConnection::Rows::text(int row, int column) const {
    if (row >= count()) {
        throw RelayStoreError("relay database: a row is missing from a result");
    }
    return std::string(PQgetvalue(result_.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
}

std::int64_t PostgresConnection::Rows::integer(int row, int column) const {
    const std::string value = text(row, column);
    std::int64_t out = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), out);
    if (error != std::errc() || end != value.data() + value.size()) {
        throw RelayStoreError("relay database: not a number in a result");
    }
    return out;
}

std::int64_t PostgresConnection::Rows::affected() const {
    const char* rows = result_ ? PQcmdTuples(result_.get()) : nullptr;
    std::int64_t out = 0;
    if (rows != nullptr) {
        std::from_chars(rows, rows + std::char_traits<char>::length(rows), out);
    }
    return out;
}

namespace {

// Text values end at a NUL on the way to the server: refused rather than cut.
void refuseNul(const PostgresConnection::Values& values) {
    for (const std::optional<std::string>& value : values) {
        if (value && value->find('\0') != std::string::npos) {
            throw RelayStoreError("relay database: a value holds a NUL character");
        }
    }
}

} // namespace

PostgresConnection::PostgresConnection(std::string address, Durability durability)
    : address_(std::move(address))
    , durability_(durability)
    , connection_(nullptr, PQfinish) {
    if (!PostgresRelayStore::readableAddress(address_)) {
        throw RelayStoreError("relay database: the PostgreSQL address cannot be read");
    }
}

PostgresConnection::~PostgresConnection() = default;

std::vector<const char*> PostgresConnection::settingKeys() {
    return {"connect_timeout",     "application_name", "client_encoding", "keepalives_idle",
            "keepalives_interval", "keepalives_count", "dbname",          nullptr};
}

std::vector<const char*> PostgresConnection::settingValues(const std::string& address,
                                                           const char* applicationName) {
    return {"10", applicationName, "UTF8", "10", "5", "3", address.c_str(), nullptr};
}

std::string PostgresConnection::firstLine(const char* message) {
    std::string text = message == nullptr ? std::string() : std::string(message);
    if (const std::size_t end = text.find('\n'); end != std::string::npos) {
        text.erase(end);
    }
    return text.empty() ? std::string("no answer from the server") : text;
}

PostgresConnection::Rows PostgresConnection::runNow(const char* operation, const char* sql,
                                                    const Values& values) {
    refuseNul(values);
    return runHere(operation, sql, values);
}

QCoro::Task<PostgresConnection::Rows> PostgresConnection::run(const char* operation,
                                                              const char* sql, Values values) {
    refuseNul(values);
    std::function<Rows()> work = [this, operation, sql, values = std::move(values)] {
        return runHere(operation, sql, values);
    };
    co_return co_await thread_.run<Rows>(std::move(work));
}

pg_conn* PostgresConnection::connection() {
    if (!connection_) {
        std::vector<const char*> keys = settingKeys();
        std::vector<const char*> values = settingValues(address_, "velto-relay");
        if (durability_ == Durability::Ephemeral) {
            // Before the address, which may name options of its own.
            keys.insert(keys.begin(), "options");
            values.insert(values.begin(), "-c synchronous_commit=off");
        }
        connection_.reset(PQconnectdbParams(keys.data(), values.data(), 1));
        if (!connection_) {
            throw RelayStoreError("relay database: connect: out of memory");
        }
        PQsetNoticeProcessor(
            connection_.get(), [](void*, const char*) {}, nullptr);
    } else if (PQstatus(connection_.get()) != CONNECTION_OK) {
        PQreset(connection_.get());
    }
    if (PQstatus(connection_.get()) != CONNECTION_OK) {
        throw RelayStoreError("relay database: connect: " +
                              firstLine(PQerrorMessage(connection_.get())));
    }
    return connection_.get();
}

PostgresConnection::Rows PostgresConnection::runHere(const char* operation, const char* sql,
                                                     const Values& values) {
    const std::lock_guard<std::mutex> turn(busy_);
    PGconn* conn = connection();
    std::vector<const char*> pointers;
    pointers.reserve(values.size());
    for (const std::optional<std::string>& value : values) {
        pointers.push_back(value ? value->c_str() : nullptr);
    }
    pg_result* result = PQexecParams(conn, sql, static_cast<int>(pointers.size()), nullptr,
                                     pointers.data(), nullptr, nullptr, 0);
    Rows rows(result);
    const ExecStatusType status = PQresultStatus(result);
    if (result != nullptr && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)) {
        return rows;
    }
    // Only the primary message: the detail lines quote a row's values.
    const char* primary =
        result == nullptr ? nullptr : PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
    std::string message = firstLine(primary != nullptr ? primary : PQerrorMessage(conn));
    if (PQstatus(conn) != CONNECTION_OK) {
        message = "connection lost: " + message;
    }
    throw RelayStoreError(std::string("relay database: ") + operation + ": " + message);
}

} // namespace corvane
