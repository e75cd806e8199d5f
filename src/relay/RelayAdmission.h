#pragma once

#include <boost/asio/ip/address.hpp>

#include <cstddef>
#include <map>

namespace corvane {

// Counts the open connections per peer address and in all, so that connections held open without
// a word from one address cannot take every place. Network thread only.
class RelayAdmission {
public:
    RelayAdmission(std::size_t perAddress, std::size_t total);

    // Takes a place for a connection from `address`; false when its address or the relay is full.
    bool enter(const boost::asio::ip::address& address);
    void leave(const boost::asio::ip::address& address);

    std::size_t open() const noexcept { return open_; }

private:
    std::size_t perAddress_;
    std::size_t total_;
    std::size_t open_ = 0;
    std::map<boost::asio::ip::address, std::size_t> byAddress_;
};

} // namespace corvane
