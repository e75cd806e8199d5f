#pragma once

#include "CorvaneCore/JSON.h"
#include "CorvaneNative/LocalHTTPRequestReader.h"
#include "CorvaneNative/LocalHTTPResponse.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace corvane {

// One accepted loopback connection, living on the server's socket thread. It owns the descriptor
// directly rather than through QTcpSocket, because QTcpSocket closes the whole connection when the
// peer half-closes, and a peer that has finished sending must still get its answer. It reads at
// most one request, asks the reader what to do, and writes one answer; whatever happens it is
// closed when its lifetime runs out.
class LocalHTTPConnection : public QObject {
public:
    struct Callbacks {
        // A complete request; the answer comes back through respond().
        std::function<void(quint64 id, JSON body)> accepted;
        // The descriptor is closed; the listener forgets the connection and deletes it later.
        std::function<void(quint64 id)> finished;
    };

    // Takes ownership of `descriptor`, an accepted stream socket. `reader` must outlive this.
    LocalHTTPConnection(int descriptor, quint64 id, const LocalHTTPRequestReader& reader,
                        std::chrono::milliseconds lifetime, Callbacks callbacks,
                        QObject* parent = nullptr);
    ~LocalHTTPConnection() override;

    LocalHTTPConnection(const LocalHTTPConnection&) = delete;
    LocalHTTPConnection& operator=(const LocalHTTPConnection&) = delete;

    // The handler's answer; absent closes the connection without one. Ignored unless a request
    // was accepted and is still waiting.
    void respond(const std::optional<LocalHTTPResponse>& response);

private:
    enum class State { Reading, AwaitingHandler, Writing, Finished };

    void onReadable();
    void onWritable();
    void consider();
    void send(std::string bytes);
    void finish();

    int descriptor_;
    quint64 id_;
    const LocalHTTPRequestReader& reader_;
    Callbacks callbacks_;
    State state_ = State::Reading;
    QSocketNotifier readNotifier_;
    QSocketNotifier writeNotifier_;
    QTimer lifetime_;

    std::string received_;
    bool peerFinished_ = false;
    // The head terminator search resumes where it stopped, so a peer that trickles bytes costs
    // linear time, and the reader is asked again only once its answer can have changed.
    bool headSeen_ = false;
    std::size_t scanFrom_ = 0;
    std::size_t needBytes_ = 0;

    std::string outgoing_;
    std::size_t sent_ = 0;
};

} // namespace corvane
