#include "relay/RelayNetwork.h"

#include "core/CommandFeedback.h"
#include "core/JSON.h"
#include "relay/NetworkDeviceLink.h"
#include "relay/NetworkEventSink.h"
#include "relay/RelayHttpSession.h"
#include "relay/RelayWebSocketSession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslKey>

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <malloc.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>

#include <algorithm>
#include <vector>

namespace corvane {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// TLS 1.2 offers only forward-secret AEAD suites; TLS 1.3 has nothing else.
constexpr const char* tls12Suites = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr unsigned char sessionContext[] = "velto-relay";
// Descriptors kept free for the database, the dashboard's files and the listening sockets.
constexpr rlim_t spareDescriptors = 64;
constexpr std::chrono::seconds trimPeriod{10};
// Connections that must have gone since the last trim before memory is given back.
constexpr std::size_t trimAfter = 64;
// Reactor entries made at once, side by side.
constexpr std::size_t reactorBatch = 128;

asio::ssl::context serverTls(const QSslConfiguration& tls) {
    asio::ssl::context context(asio::ssl::context::tls_server);
    SSL_CTX* native = context.native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                    SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_set_cipher_list(native, tls12Suites) != 1) {
        throw std::runtime_error("the TLS library offers none of the relay's cipher suites");
    }
    // Idle connections give their record buffers back.
    SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_id_context(native, sessionContext, sizeof sessionContext - 1);
    QByteArray chain;
    for (const QSslCertificate& certificate : tls.localCertificateChain()) {
        chain += certificate.toPem();
    }
    if (chain.isEmpty()) {
        chain = tls.localCertificate().toPem();
    }
    const QByteArray key = tls.privateKey().toPem();
    context.use_certificate_chain(
        asio::buffer(chain.constData(), static_cast<std::size_t>(chain.size())));
    context.use_private_key(asio::buffer(key.constData(), static_cast<std::size_t>(key.size())),
                            asio::ssl::context::pem);
    return context;
}

// Connections beyond the descriptors this process may open would only fail later.
RelayNetwork::Limits withinDescriptors(RelayNetwork::Limits limits) {
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
        const rlim_t usable =
            descriptors.rlim_cur > spareDescriptors ? descriptors.rlim_cur - spareDescriptors : 1;
        limits.total = std::min<std::size_t>(limits.total, static_cast<std::size_t>(usable));
    }
    return limits;
}

RelayHttpResponse failure() {
    static constexpr std::string_view code = "internal_error";
    RelayHttpResponse response;
    response.status = 500;
    response.body = QByteArray::fromStdString(
        JSON(JSON::Object{
                 {"error", JSON(JSON::Object{
                               {"code", JSON(std::string(code))},
                               {"message", JSON(std::string(CommandFeedback::error(code)))}})}})
            .data());
    return response;
}

} // namespace

RelayNetwork::RelayNetwork(const QSslConfiguration& tls, Handler handler, Upgraded upgraded,
                           Limits limits, QObject* parent)
    : QObject(parent)
    , handler_(std::move(handler))
    , upgraded_(std::move(upgraded))
    , limits_(withinDescriptors(limits))
    , tls_(serverTls(tls))
    , admission_(limits_.perAddress, limits_.total)
    , io_(1)
    , work_(io_.get_executor())
    , trim_(io_) {}

RelayNetwork::~RelayNetwork() {
    drain();
    work_.reset();
    io_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
    // The links tell the hub their sessions ended while it is still there.
    links_.clear();
    // Hand-offs not yet run hold sessions, which must go before the io_context.
    QCoreApplication::removePostedEvents(this);
    acceptors_.clear();
}

quint16 RelayNetwork::listen(const QHostAddress& address, quint16 port) {
    boost::system::error_code error;
    const asio::ip::address ip = asio::ip::make_address(address.toString().toStdString(), error);
    if (error) {
        return 0;
    }
    const tcp::endpoint endpoint(ip, port);
    auto acceptor = std::make_unique<tcp::acceptor>(io_);
    acceptor->open(endpoint.protocol(), error);
    if (!error) {
        acceptor->set_option(tcp::acceptor::reuse_address(true), error);
    }
    if (!error && ip.is_v6() && ip.is_unspecified()) {
        // "::" means every address, IPv4 ones included, whatever the system's default.
        acceptor->set_option(asio::ip::v6_only(false), error);
    }
    if (!error) {
        acceptor->bind(endpoint, error);
    }
    if (!error) {
        acceptor->listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        return 0;
    }
    const quint16 bound = acceptor->local_endpoint(error).port();
    tcp::acceptor& accepting = *acceptor;
    acceptors_.push_back(std::move(acceptor));
    asio::post(io_, [this, &accepting] { accept(accepting); });
    if (!thread_.joinable()) {
        asio::post(io_, [this] {
            reserveReactorEntries();
            trimLater();
        });
        thread_ = std::thread([this] {
            // OpenSSL writes sockets with write(2): a peer that went away must cost an EPIPE on
            // this thread, not the process.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            while (true) {
                try {
                    io_.run();
                    return;
                } catch (const std::exception& problem) {
                    qWarning("relay: network: %s", problem.what());
                }
            }
        });
    }
    return bound;
}

void RelayNetwork::accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](boost::system::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (error) {
            // Out of descriptors or memory: accepting again at once would spin.
            auto pause = std::make_shared<asio::steady_timer>(io_, std::chrono::seconds(1));
            pause->async_wait([this, &acceptor, pause](boost::system::error_code waited) {
                if (!waited) {
                    accept(acceptor);
                }
            });
            return;
        }
        boost::system::error_code unknown;
        asio::ip::address remote = socket.remote_endpoint(unknown).address();
        if (!unknown && remote.is_v6() && remote.to_v6().is_v4_mapped()) {
            remote = asio::ip::make_address_v4(asio::ip::v4_mapped, remote.to_v6());
        }
        if (!unknown && admission_.enter(remote)) {
            socket.set_option(tcp::no_delay(true), unknown);
            std::make_shared<RelayHttpSession>(std::move(socket), remote, tls_, *this)->start();
        }
        reserveReactorEntries();
        accept(acceptor);
    });
}

void RelayNetwork::reserveReactorEntries() {
    // Asio keeps each socket's reactor entry in a pool for the next socket and never frees it.
    // Made one by one as devices arrive, those entries would lie among the connections' own
    // memory and hold its pages after the devices left; made ahead in batches (by registering
    // and closing descriptors of no use), they lie side by side.
    if (reserved_ >= admission_.open() + reactorBatch / 2) {
        return;
    }
    std::vector<asio::posix::stream_descriptor> batch;
    batch.reserve(reactorBatch);
    for (std::size_t i = 0; i < reactorBatch; ++i) {
        const int descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (descriptor < 0) {
            break; // out of descriptors: the pool grows as sockets come instead
        }
        batch.emplace_back(io_, descriptor);
    }
    reserved_ += batch.size();
}

void RelayNetwork::trimLater() {
    mostOpen_ = std::max(mostOpen_, admission_.open());
    trim_.expires_after(trimPeriod);
    trim_.async_wait([this](boost::system::error_code error) {
        if (error) {
            return;
        }
        // The allocator keeps what departed devices freed; many leaving at once should give their
        // memory back to the system.
        if (mostOpen_ >= admission_.open() + trimAfter) {
            malloc_trim(0);
            mostOpen_ = admission_.open();
        }
        trimLater();
    });
}

void RelayNetwork::request(std::shared_ptr<RelayHttpSession> session, RelayHttpRequest request) {
    QMetaObject::invokeMethod(
        this,
        [this, session = std::move(session), request = std::move(request)]() mutable {
            // Runs on by itself; whatever it needs lives until drain() saw it end.
            answer(std::move(session), std::move(request));
        },
        Qt::QueuedConnection);
}

QCoro::Task<> RelayNetwork::answer(std::shared_ptr<RelayHttpSession> session,
                                   RelayHttpRequest request) {
    ++answering_;
    const struct Answered {
        std::size_t& count;
        ~Answered() { --count; }
    } answered{answering_};
    RelayHttpResponse response;
    try {
        response = co_await handler_(request);
    } catch (const std::exception& problem) {
        qWarning("relay: %s failed: %s", qPrintable(request.path), problem.what());
        response = failure();
    } catch (...) {
        response = failure();
    }
    std::shared_ptr<std::atomic<bool>> streamEnded;
    if (response.attach) {
        // The sink's first sends are posted after the answer, so they follow its head.
        streamEnded = std::make_shared<std::atomic<bool>>(false);
        try {
            response.attach(
                std::make_unique<NetworkEventSink>(session, io_.get_executor(), streamEnded));
        } catch (const std::exception& problem) {
            qWarning("relay: event stream not opened: %s", problem.what());
            response = failure();
            streamEnded.reset();
        }
    }
    asio::post(io_, [session = std::move(session), response = std::move(response),
                     streamEnded = std::move(streamEnded)]() mutable {
        session->answer(response, std::move(streamEnded));
    });
}

void RelayNetwork::drain() {
    QElapsedTimer waited;
    waited.start();
    // Bounded: a handler waits at most for the store's busy time-out and a few hashes.
    while (answering_ > 0 && waited.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

void RelayNetwork::opened(std::uint64_t id, std::shared_ptr<RelayWebSocketSession> socket,
                          std::string deviceHeader) {
    QMetaObject::invokeMethod(
        this,
        [this, id, socket = std::move(socket), deviceHeader = std::move(deviceHeader)]() mutable {
            std::unique_ptr<NetworkDeviceLink> link = upgraded_(socket, deviceHeader);
            RelayWebSocketSession::release(std::move(socket));
            if (link) {
                links_[id] = std::move(link);
            }
        },
        Qt::QueuedConnection);
}

void RelayNetwork::received(std::uint64_t id, std::string message) {
    QMetaObject::invokeMethod(
        this,
        [this, id, message = std::move(message)] {
            const auto found = links_.find(id);
            if (found != links_.end()) {
                found->second->received(message);
            }
        },
        Qt::QueuedConnection);
}

void RelayNetwork::ended(std::uint64_t id) {
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            const auto found = links_.find(id);
            if (found != links_.end()) {
                found->second->ended();
                links_.erase(found);
            }
        },
        Qt::QueuedConnection);
}

} // namespace corvane
