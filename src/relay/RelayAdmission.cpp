#include "relay/RelayAdmission.h"

namespace corvane {

RelayAdmission::RelayAdmission(std::size_t perAddress, std::size_t total)
    : perAddress_(perAddress)
    , total_(total) {}

bool RelayAdmission::enter(const boost::asio::ip::address& address) {
    if (open_ >= total_) {
        return false;
    }
    std::size_t& count = byAddress_[address];
    if (count >= perAddress_) {
        return false;
    }
    ++count;
    ++open_;
    return true;
}

void RelayAdmission::leave(const boost::asio::ip::address& address) {
    const auto found = byAddress_.find(address);
    if (found == byAddress_.end()) {
        return;
    }
    --open_;
    if (--found->second == 0) {
        byAddress_.erase(found);
    }
}

} // namespace corvane
