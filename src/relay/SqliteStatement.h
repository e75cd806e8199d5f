#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <chrono>
#include <string>

class QSqlError;

namespace corvane {

// One prepared statement on the embedded database with its values bound in order. Preparing and
// executing throw RelayStoreError, as every store operation does when the database fails.
class SqliteStatement {
public:
    using Time = std::chrono::system_clock::time_point;

    SqliteStatement(const QSqlDatabase& db, const char* sql);
    SqliteStatement& bind(const QVariant& value);
    // The executed query, moved out: a reference would outlive this temporary.
    QSqlQuery exec();

    // The database file opened under its own connection name, with a busy time-out (another
    // process on the file makes a write wait, not fail) and foreign keys enforced; on failure
    // nothing is left registered and RelayStoreError is thrown.
    static QSqlDatabase open(const QString& connection, const QString& path);
    // Closes `db` and unregisters its connection.
    static void close(QSqlDatabase& db, const QString& connection);

    [[noreturn]] static void fail(const char* operation, const QSqlError& error);
    // Times are kept as milliseconds since the epoch.
    static qint64 millis(Time time);
    static Time fromMillis(qint64 ms);
    static QString text(const std::string& s) { return QString::fromStdString(s); }
    static std::string str(const QVariant& v) { return v.toString().toStdString(); }

private:
    QSqlQuery query_;
    const char* sql_;
};

} // namespace corvane
