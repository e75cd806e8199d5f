#include "SignInFlood.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

namespace corvane::test {

namespace asio = boost::asio;
namespace http = boost::beast::http;

SignInFlood::SignInFlood(Options options)
    : options_(std::move(options)) {
    for (int i = 0; i < options_.threads; ++i) {
        threads_.emplace_back(&SignInFlood::send, this, i);
    }
}

SignInFlood::~SignInFlood() {
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

std::map<int, int> SignInFlood::statuses() const {
    const std::lock_guard lock(mutex_);
    return statuses_;
}

void SignInFlood::send(int thread) {
    asio::io_context io;
    asio::ssl::context tls(asio::ssl::context::tls_client);
    // The relay's certificate is not what this measures.
    tls.set_verify_mode(asio::ssl::verify_none);
    for (int i = 0; i < options_.perThread; ++i) {
        const int number = thread * options_.perThread + i;
        int status = 0;
        try {
            asio::ssl::stream<asio::ip::tcp::socket> stream(io, tls);
            asio::ip::tcp::socket& socket = stream.next_layer();
            socket.open(asio::ip::tcp::v4());
            socket.bind(asio::ip::tcp::endpoint(
                asio::ip::make_address_v4(0x7f000002u +
                                          static_cast<unsigned>(number % options_.addresses)),
                0));
            socket.connect(
                asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), options_.port));
            stream.handshake(asio::ssl::stream_base::client);
            http::request<http::string_body> request(http::verb::post, "/v1/account/sign-in", 11);
            request.set(http::field::host, "127.0.0.1:" + std::to_string(options_.port));
            request.set(http::field::content_type, "application/json");
            request.set(http::field::connection, "close");
            request.body() = R"({"name":")" + options_.name +
                             std::to_string(number % options_.names) + R"(","password":")" +
                             options_.password + R"("})";
            request.prepare_payload();
            http::write(stream, request);
            boost::beast::flat_buffer buffer;
            http::response<http::string_body> response;
            http::read(stream, buffer, response);
            status = static_cast<int>(response.result_int());
        } catch (const std::exception&) {
            status = 0;
        }
        const std::lock_guard lock(mutex_);
        ++statuses_[status];
    }
    ++finished_;
}

} // namespace corvane::test
