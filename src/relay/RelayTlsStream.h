#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <type_traits>

namespace corvane {

// TLS over one TCP socket, as an Asio stream (for Beast's HTTP and WebSocket code), with OpenSSL
// reading and writing the socket itself. Asio's own TLS stream keeps four record-sized buffers per
// connection (two of its own, two in the BIO pair between it and OpenSSL), about 68 KiB that an
// idle device never uses; here OpenSSL's read and write buffers are the only ones, and it gives
// them back between records (SSL_MODE_RELEASE_BUFFERS), so an idle connection holds little more
// than its session keys. Network thread only: OpenSSL writes the socket with write(2), so the
// thread that drives it must block SIGPIPE.
class RelayTlsStream {
public:
    using executor_type = boost::asio::any_io_executor;
    using next_layer_type = boost::asio::ip::tcp::socket;

    // Takes an accepted socket; the handshake is the server's.
    RelayTlsStream(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context);
    RelayTlsStream(RelayTlsStream&&) noexcept = default;
    RelayTlsStream& operator=(RelayTlsStream&&) noexcept = default;
    ~RelayTlsStream() = default;

    executor_type get_executor() noexcept { return socket_.get_executor(); }
    next_layer_type& next_layer() noexcept { return socket_; }
    const next_layer_type& next_layer() const noexcept { return socket_; }

    // Each completes as Asio's ssl::stream does: void(error_code) for the handshake and the
    // shutdown, void(error_code, std::size_t) for reads and writes. A read after the peer's
    // close_notify ends with asio::error::eof, after a cut connection with
    // asio::ssl::error::stream_truncated.
    template <class Token>
    auto async_handshake(Token&& token) {
        return boost::asio::async_compose<Token, void(boost::system::error_code)>(
            Operation<Handshake>{*this, {}}, token, socket_);
    }
    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
            Operation<Read>{*this, {firstOf(buffers)}}, token, socket_);
    }
    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
            Operation<Write>{*this, gathered(buffers)}, token, socket_);
    }
    // Sends close_notify without waiting for the peer's.
    template <class Token>
    auto async_shutdown(Token&& token) {
        return boost::asio::async_compose<Token, void(boost::system::error_code)>(
            Operation<Shutdown>{*this, {}}, token, socket_);
    }

private:
    // What one call into OpenSSL came to.
    struct Step {
        enum class Kind { Done, WantRead, WantWrite } kind = Kind::Done;
        boost::system::error_code error;
        std::size_t size = 0;
    };
    struct Handshake {
        Step operator()(RelayTlsStream& stream) const { return stream.handshakeStep(); }
    };
    struct Read {
        boost::asio::mutable_buffer into;
        Step operator()(RelayTlsStream& stream) const { return stream.readStep(into); }
    };
    // A frame's header and its payload go out as one record: pieces are copied together up to
    // one record's worth, and write_some reports that prefix as written.
    static constexpr std::size_t largestRecord = 16384;
    struct Write {
        boost::asio::const_buffer from;
        std::unique_ptr<char[]> gathered;
        Step operator()(RelayTlsStream& stream) const { return stream.writeStep(from); }
    };
    struct Shutdown {
        Step operator()(RelayTlsStream& stream) const { return stream.shutdownStep(); }
    };

    // Calls OpenSSL until it is done or needs the socket; completes with what it came to, never
    // from within the initiating call.
    template <class Attempt>
    struct Operation {
        RelayTlsStream& stream;
        Attempt attempt;
        Step step{};
        bool waited = false;
        bool posted = false;

        template <class Self>
        void operator()(Self& self, boost::system::error_code error = {}) {
            if (!posted && !error) {
                step = attempt(stream);
                if (step.kind != Step::Kind::Done) {
                    waited = true;
                    stream.socket_.async_wait(step.kind == Step::Kind::WantRead
                                                  ? next_layer_type::wait_read
                                                  : next_layer_type::wait_write,
                                              std::move(self));
                    return;
                }
                if (!waited) {
                    posted = true;
                    boost::asio::post(stream.socket_.get_executor(), std::move(self));
                    return;
                }
            } else if (error) {
                step = Step{Step::Kind::Done, error, 0};
            }
            complete(self);
        }

        template <class Self>
        void complete(Self& self) {
            if constexpr (std::is_same_v<Attempt, Read> || std::is_same_v<Attempt, Write>) {
                self.complete(step.error, step.size);
            } else {
                self.complete(step.error);
            }
        }
    };

    template <class MutableBuffers>
    static boost::asio::mutable_buffer firstOf(const MutableBuffers& buffers) {
        for (auto it = boost::asio::buffer_sequence_begin(buffers);
             it != boost::asio::buffer_sequence_end(buffers); ++it) {
            if (boost::asio::mutable_buffer piece(*it); piece.size() > 0) {
                return piece;
            }
        }
        return {};
    }
    template <class ConstBuffers>
    static Write gathered(const ConstBuffers& buffers) {
        Write out;
        std::size_t total = 0;
        std::size_t pieces = 0;
        for (auto it = boost::asio::buffer_sequence_begin(buffers);
             it != boost::asio::buffer_sequence_end(buffers); ++it) {
            const boost::asio::const_buffer piece(*it);
            if (piece.size() > 0) {
                if (pieces++ == 0) {
                    out.from = piece;
                }
                total += piece.size();
            }
        }
        if (pieces > 1 && out.from.size() < largestRecord) {
            const std::size_t size = std::min(total, largestRecord);
            out.gathered = std::make_unique_for_overwrite<char[]>(size);
            boost::asio::buffer_copy(boost::asio::buffer(out.gathered.get(), size), buffers);
            out.from = boost::asio::const_buffer(out.gathered.get(), size);
        }
        return out;
    }

    Step handshakeStep();
    Step readStep(boost::asio::mutable_buffer into);
    Step writeStep(boost::asio::const_buffer from);
    Step shutdownStep();
    // What OpenSSL's answer `result` to the last call means.
    Step stepAfter(int result, std::size_t size);

    struct Free {
        void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
    };
    boost::asio::ip::tcp::socket socket_;
    std::unique_ptr<SSL, Free> ssl_;
};

// Beast's WebSocket close ends with this (found by argument-dependent lookup): our close_notify
// goes out, then the TCP connection ends as a plain socket's would.
class RelayTlsTeardown {
public:
    RelayTlsTeardown(RelayTlsStream& stream, boost::beast::role_type role)
        : stream_(stream)
        , role_(role) {}

    template <class Self>
    void operator()(Self& self, boost::system::error_code error = {}) {
        switch (stage_++) {
        case 0:
            stream_.async_shutdown(std::move(self));
            return;
        case 1: {
            // Whatever became of the close_notify.
            using boost::beast::websocket::async_teardown;
            async_teardown(role_, stream_.next_layer(), std::move(self));
            return;
        }
        default:
            self.complete(error);
        }
    }

private:
    RelayTlsStream& stream_;
    boost::beast::role_type role_;
    int stage_ = 0;
};

template <class Handler>
void async_teardown(boost::beast::role_type role, RelayTlsStream& stream, Handler&& handler) {
    boost::asio::async_compose<Handler, void(boost::system::error_code)>(
        RelayTlsTeardown(stream, role), handler, stream.next_layer());
}

} // namespace corvane
