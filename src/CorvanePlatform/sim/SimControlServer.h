#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace corvane {

class SimControlCommands;

// The control channel's socket: a local (Unix) socket on the main thread taking one JSON command
// per line and answering each with one JSON line. Lines longer than maxLineBytes are refused and
// the connection closed.
class SimControlServer : public QObject {
    Q_OBJECT

public:
    SimControlServer(SimControlCommands& commands, QObject* parent = nullptr);
    ~SimControlServer() override;

    // Listens at `path`, replacing a stale socket file; false with a reason when it cannot.
    bool listen(const QString& path, QString* error = nullptr);
    QString path() const;

    static constexpr qsizetype maxLineBytes = 1 << 20;

private:
    void accept();
    void read(QLocalSocket* socket);

    SimControlCommands& commands_;
    QLocalServer* server_;
};

} // namespace corvane
