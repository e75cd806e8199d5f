#include "relay/SqliteStatement.h"

#include "relay/RelayStoreError.h"

#include <QSqlError>

namespace corvane {

SqliteStatement::SqliteStatement(const QSqlDatabase& db, const char* sql)
    : query_(db)
    , sql_(sql) {
    if (!query_.prepare(QString::fromUtf8(sql))) {
        fail(sql_, query_.lastError());
    }
}

SqliteStatement& SqliteStatement::bind(const QVariant& value) {
    query_.addBindValue(value);
    return *this;
}

QSqlQuery SqliteStatement::exec() {
    if (!query_.exec()) {
        fail(sql_, query_.lastError());
    }
    return std::move(query_);
}

void SqliteStatement::fail(const char* operation, const QSqlError& error) {
    throw RelayStoreError(std::string("relay database: ") + operation + ": " +
                          error.text().toStdString());
}

qint64 SqliteStatement::millis(Time time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

SqliteStatement::Time SqliteStatement::fromMillis(qint64 ms) {
    return Time(std::chrono::milliseconds(ms));
}

} // namespace corvane
