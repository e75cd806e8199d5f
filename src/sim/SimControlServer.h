#pragma once

#include "platform/LineSocketServer.h"

#include <QObject>
#include <QString>

namespace corvane {

class SimControlCommands;

// The control channel's socket: a local (Unix) socket on the main thread, open to its owner only,
// taking one JSON command per line and answering each with one JSON line. Lines longer than
// maxLineBytes are refused and the connection closed.
class SimControlServer : public QObject {
    Q_OBJECT

public:
    SimControlServer(SimControlCommands& commands, QObject* parent = nullptr);
    ~SimControlServer() override;

    // Listens at `path`, replacing a stale socket file (its folder is made owner-only); false
    // with a reason when it cannot.
    bool listen(const QString& path, QString* error = nullptr);
    QString path() const;

    static constexpr qsizetype maxLineBytes = 1 << 20;

private:
    SimControlCommands& commands_;
    LineSocketServer server_;
};

} // namespace corvane
