#include "relay/RelayRequestReader.h"

#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <algorithm>

namespace corvane {

namespace http = boost::beast::http;

namespace {

bool plainDigits(boost::beast::string_view text) {
    return !text.empty() && text.size() <= 18 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

RelayRequestReader::RelayRequestReader() {
    next();
}

RelayRequestReader::State RelayRequestReader::next() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(largestHead));
    parser_->body_limit(largestBody);
    // Stops after the head, so the head is checked before any of the body is taken.
    parser_->eager(false);
    headChecked_ = false;
    searched_ = 0;
    refusal_ = 0;
    return pending_.empty() ? State::More : parse();
}

RelayRequestReader::State RelayRequestReader::read(std::string_view bytes) {
    if (refusal_ != 0) {
        return State::Refused;
    }
    if (parser_->is_done()) {
        // The caller has not taken the last request yet; keep the bytes for the next one.
        pending_.append(bytes);
        return State::Whole;
    }
    pending_.append(bytes);
    return parse();
}

RelayRequestReader::State RelayRequestReader::parse() {
    // The head goes to the parser once, whole: until its blank line arrives only the new bytes
    // are searched, so a head trickled in byte by byte costs no more than one sent at once.
    std::size_t head = 0;
    if (!parser_->is_header_done()) {
        const std::size_t end = pending_.find("\r\n\r\n", searched_ > 3 ? searched_ - 3 : 0);
        if (end == std::string::npos || end + 4 > largestHead) {
            searched_ = pending_.size();
            if (end == std::string::npos && pending_.size() < largestHead) {
                return State::More;
            }
            refusal_ = 431;
            pending_.clear();
            return State::Refused;
        }
        head = end + 4;
    }
    std::size_t taken = 0;
    State state = State::More;
    while (true) {
        boost::beast::error_code error;
        // The head alone, then no more than the body still to come: what follows belongs to
        // the next request.
        std::size_t offered = pending_.size() - taken;
        if (head != 0) {
            offered = head;
            head = 0;
        } else if (const auto body = parser_->content_length_remaining()) {
            offered = static_cast<std::size_t>(std::min<std::uint64_t>(offered, *body));
        }
        const std::size_t used =
            parser_->put(boost::asio::buffer(pending_.data() + taken, offered), error);
        handed_ += offered;
        taken += used;
        if (error == http::error::need_more) {
            break;
        }
        if (error) {
            refusal_ = error == http::error::header_limit ? 431
                       : error == http::error::body_limit ? 413
                                                          : 400;
            state = State::Refused;
            break;
        }
        if (parser_->is_header_done() && !headChecked_) {
            headChecked_ = true;
            if (!headAcceptable()) {
                state = State::Refused;
                break;
            }
            parser_->eager(true);
        }
        if (parser_->is_done()) {
            state = State::Whole;
            break;
        }
        if (used == 0 || taken == pending_.size()) {
            break;
        }
    }
    pending_.erase(0, taken);
    if (state == State::Refused) {
        pending_.clear();
    }
    return state;
}

bool RelayRequestReader::headAcceptable() {
    const Message& message = parser_->get();
    if (message.find(http::field::transfer_encoding) != message.end()) {
        refusal_ = 411;
        return false;
    }
    const auto lengths = message.equal_range(http::field::content_length);
    const auto count = std::distance(lengths.first, lengths.second);
    if (count > 1 || (count == 1 && !plainDigits(lengths.first->value()))) {
        refusal_ = 400;
        return false;
    }
    if (message.target().empty() || message.target().front() != '/') {
        refusal_ = 400;
        return false;
    }
    return true;
}

bool RelayRequestReader::upgrade() const {
    return boost::beast::websocket::is_upgrade(parser_->get());
}

RelayHttpRequest RelayRequestReader::request() const {
    const Message& message = parser_->get();
    RelayHttpRequest out;
    out.method = QByteArray(message.method_string().data(),
                            static_cast<qsizetype>(message.method_string().size()));
    const boost::beast::string_view target = message.target();
    const std::size_t query = target.find('?');
    const boost::beast::string_view path =
        query == boost::beast::string_view::npos ? target : target.substr(0, query);
    out.path = QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size()));
    if (query != boost::beast::string_view::npos) {
        out.query = QByteArray(target.data() + query + 1,
                               static_cast<qsizetype>(target.size() - query - 1));
    }
    for (const auto& field : message) {
        const boost::beast::string_view name = field.name_string();
        const boost::beast::string_view value = field.value();
        out.headers[QByteArray(name.data(), static_cast<qsizetype>(name.size())).toLower()] =
            QByteArray(value.data(), static_cast<qsizetype>(value.size()));
    }
    out.body = QByteArray(message.body().data(), static_cast<qsizetype>(message.body().size()));
    return out;
}

} // namespace corvane
