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

QSqlDatabase SqliteStatement::open(const QString& connection, const QString& path) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    if (!db.isValid()) {
        close(db, connection);
        throw RelayStoreError("relay database: the SQLite driver is missing");
    }
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        const QSqlError error = db.lastError();
        close(db, connection);
        fail("open", error);
    }
    try {
        SqliteStatement(db, "PRAGMA foreign_keys = ON").exec();
    } catch (...) {
        close(db, connection);
        throw;
    }
    return db;
}

void SqliteStatement::close(QSqlDatabase& db, const QString& connection) {
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connection);
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
