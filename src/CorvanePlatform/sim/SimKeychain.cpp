#include "CorvanePlatform/sim/SimKeychain.h"

#include "CorvanePlatform/sim/SimModel.h"

namespace corvane {

namespace {

// Index of the item in the items array, or -1.
long indexOf(const JSON& items, const Keychain::Query& query) {
    const JSON::Array& list = *items.array();
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (*list[i].stringMember("service") == query.service &&
            *list[i].stringMember("account") == query.account) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

} // namespace

Keychain::Status SimKeychain::admit(const char* operation, const Query& query) {
    Status status = Status::Success;
    if (model_.flag({"keychain", "failing"})) {
        status = Status::Other;
    } else if (model_.flag({"keychain", "interaction_not_allowed"}) && !query.allowInteraction) {
        status = Status::InteractionNotAllowed;
    }
    model_.record("keychain", {{"operation", JSON(operation)},
                               {"service", JSON(query.service)},
                               {"account", JSON(query.account)},
                               {"allow_interaction", JSON(query.allowInteraction)}});
    return status;
}

Keychain::Status SimKeychain::copy(const Query& query, std::string& secret) {
    auto guard = model_.lock();
    if (Status status = admit("copy", query); status != Status::Success) {
        return status;
    }
    const JSON items = model_.setting({"keychain", "items"});
    const long index = indexOf(items, query);
    if (index < 0) {
        return Status::NotFound;
    }
    secret = *(*items.array())[static_cast<std::size_t>(index)].stringMember("secret");
    return Status::Success;
}

Keychain::Status SimKeychain::update(const Query& query, const std::string& secret) {
    auto guard = model_.lock();
    if (Status status = admit("update", query); status != Status::Success) {
        return status;
    }
    JSON items = model_.setting({"keychain", "items"});
    const long index = indexOf(items, query);
    if (index < 0) {
        return Status::NotFound;
    }
    (*(*items.array())[static_cast<std::size_t>(index)].object())["secret"] = JSON(secret);
    model_.put({"keychain", "items"}, std::move(items));
    return Status::Success;
}

Keychain::Status SimKeychain::add(const Query& query, const std::string& secret) {
    auto guard = model_.lock();
    if (Status status = admit("add", query); status != Status::Success) {
        return status;
    }
    JSON items = model_.setting({"keychain", "items"});
    if (indexOf(items, query) >= 0) {
        return Status::Other; // a duplicate item
    }
    items.array()->push_back(JSON(JSON::Object{{"service", JSON(query.service)},
                                               {"account", JSON(query.account)},
                                               {"secret", JSON(secret)}}));
    model_.put({"keychain", "items"}, std::move(items));
    return Status::Success;
}

Keychain::Status SimKeychain::remove(const Query& query) {
    auto guard = model_.lock();
    if (Status status = admit("remove", query); status != Status::Success) {
        return status;
    }
    JSON items = model_.setting({"keychain", "items"});
    const long index = indexOf(items, query);
    if (index < 0) {
        return Status::NotFound;
    }
    items.array()->erase(items.array()->begin() + index);
    model_.put({"keychain", "items"}, std::move(items));
    return Status::Success;
}

} // namespace corvane
