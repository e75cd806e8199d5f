#pragma once

#include <stdexcept>

namespace corvane {

// The relay's database failed (cannot open, migrate, read or write). Its text names the
// operation and the database's own message, for the relay's log; peers see only
// "connection_or_storage_failed".
class RelayStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace corvane
