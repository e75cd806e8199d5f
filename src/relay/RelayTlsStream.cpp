#include "relay/RelayTlsStream.h"

#include <boost/asio/ssl/error.hpp>

#include <openssl/err.h>

#include <cerrno>
#include <climits>
#include <new>

namespace corvane {

namespace asio = boost::asio;

RelayTlsStream::RelayTlsStream(asio::ip::tcp::socket socket, asio::ssl::context& context)
    : socket_(std::move(socket))
    , ssl_(SSL_new(context.native_handle())) {
    if (!ssl_) {
        throw std::bad_alloc();
    }
    // OpenSSL reads and writes the descriptor itself, without blocking; the socket keeps it.
    socket_.non_blocking(true);
    if (SSL_set_fd(ssl_.get(), static_cast<int>(socket_.native_handle())) != 1) {
        throw std::bad_alloc();
    }
    // Whatever has arrived is read in one call instead of a record header and body apiece.
    SSL_set_read_ahead(ssl_.get(), 1);
    // Beast may retry a write from a moved buffer, and takes partial writes.
    SSL_set_mode(ssl_.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                 SSL_MODE_RELEASE_BUFFERS);
    SSL_set_accept_state(ssl_.get());
}

RelayTlsStream::Step RelayTlsStream::handshakeStep() {
    if (!socket_.is_open()) {
        return {Step::Kind::Done, asio::error::bad_descriptor, 0};
    }
    ERR_clear_error();
    return stepAfter(SSL_do_handshake(ssl_.get()), 0);
}

RelayTlsStream::Step RelayTlsStream::readStep(asio::mutable_buffer into) {
    // A closed socket's descriptor number may already belong to another connection.
    if (!socket_.is_open()) {
        return {Step::Kind::Done, asio::error::bad_descriptor, 0};
    }
    if (into.size() == 0) {
        return {};
    }
    ERR_clear_error();
    std::size_t size = 0;
    const int result = SSL_read_ex(ssl_.get(), into.data(), into.size(), &size);
    return stepAfter(result, size);
}

RelayTlsStream::Step RelayTlsStream::writeStep(asio::const_buffer from) {
    if (!socket_.is_open()) {
        return {Step::Kind::Done, asio::error::bad_descriptor, 0};
    }
    if (from.size() == 0) {
        return {};
    }
    ERR_clear_error();
    std::size_t size = 0;
    const int result = SSL_write_ex(ssl_.get(), from.data(), from.size(), &size);
    return stepAfter(result, size);
}

RelayTlsStream::Step RelayTlsStream::shutdownStep() {
    if (!socket_.is_open()) {
        return {Step::Kind::Done, asio::error::bad_descriptor, 0};
    }
    ERR_clear_error();
    // 0: our close_notify went out and the peer's has not come; nobody waits for it.
    const int result = SSL_shutdown(ssl_.get());
    return result >= 0 ? Step{} : stepAfter(result, 0);
}

RelayTlsStream::Step RelayTlsStream::stepAfter(int result, std::size_t size) {
    const int saved = errno;
    if (result > 0) {
        return {Step::Kind::Done, {}, size};
    }
    const int error = SSL_get_error(ssl_.get(), result);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return {Step::Kind::WantRead, {}, 0};
    case SSL_ERROR_WANT_WRITE:
        return {Step::Kind::WantWrite, {}, 0};
    case SSL_ERROR_ZERO_RETURN:
        return {Step::Kind::Done, asio::error::eof, 0};
    case SSL_ERROR_SYSCALL:
        ERR_clear_error();
        return {Step::Kind::Done,
                saved != 0 ? boost::system::error_code(saved, boost::system::system_category())
                           : boost::system::error_code(asio::ssl::error::stream_truncated),
                0};
    default: {
        const unsigned long reason = ERR_peek_last_error();
        ERR_clear_error();
        if (ERR_GET_REASON(reason) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            return {Step::Kind::Done, asio::ssl::error::stream_truncated, 0};
        }
        return {Step::Kind::Done,
                boost::system::error_code(static_cast<int>(reason & INT_MAX),
                                          asio::error::get_ssl_category()),
                0};
    }
    }
}

} // namespace corvane
