#pragma once

// The code generator cannot parse the concepts in the JSON header; it needs none of its types.
#ifndef Q_MOC_RUN
#include "core/JSON.h"
#endif

#include "platform/LineSocketServer.h"

#include <QObject>
#include <QString>

#include <functional>

namespace corvane {

// The running agent's own control socket, for the person at the machine (`velto desktop`): a
// local socket in the agent's private folder that only its owner can open, taking one JSON
// command per line and answering each with one JSON line. What reaches the agent this way never
// came over the network, so consent may be given here and nowhere else. Main thread.
class AgentControlServer : public QObject {
    Q_OBJECT

public:
    // One decoded command in, one answer out ({"ok": true, ...} or {"ok": false, "error": ...}).
    using Handler = std::function<JSON(const JSON& command)>;

    static constexpr qsizetype maxLineBytes = 64 * 1024;

    explicit AgentControlServer(Handler handler, QObject* parent = nullptr);
    ~AgentControlServer() override;

    // Listens at `path` (a stale socket file there is replaced): the folder is made owner-only
    // (0700) and the socket 0600. False with a reason when it cannot.
    bool listen(const QString& path, QString* error = nullptr);
    // Stops listening and drops every connection; no command is handled afterwards.
    void close();

private:
    std::string answer(std::string_view line) const;

    Handler handler_;
    LineSocketServer server_;
};

} // namespace corvane
