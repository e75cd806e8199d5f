#include "CorvanePlatform/sim/SimKeychain.h"

#include "CorvaneCore/FileError.h"
#include "CorvaneCore/PrivateFile.h"
#include "CorvanePlatform/sim/SimModel.h"
#include "CorvanePlatform/sim/SimScenarioError.h"

#include <algorithm>
#include <filesystem>

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

std::filesystem::path fileUnder(const QString& root) {
    return std::filesystem::path(root.toStdString()) / "keychain.json";
}

bool isItem(const JSON& item) {
    const JSON::Object* members = item.object();
    return members != nullptr && members->size() == 3 && item.stringMember("service") != nullptr &&
           item.stringMember("account") != nullptr && item.stringMember("secret") != nullptr;
}

} // namespace

std::optional<JSON> SimKeychain::savedItems() const {
    const std::filesystem::path path = fileUnder(model_.root());
    const auto refuse = [&path](const std::string& why) {
        return SimScenarioError(path.string() + ": " + why);
    };
    std::optional<std::string> text;
    try {
        text = PrivateFile::read(path);
    } catch (const FileError& error) {
        throw refuse(error.what());
    }
    if (!text) {
        return std::nullopt;
    }
    JSON saved;
    try {
        saved = JSON::parse(*text);
    } catch (const JSONReadError& error) {
        throw refuse(error.what());
    }
    const JSON* items = saved.find("items");
    if (items == nullptr || items->array() == nullptr ||
        !std::all_of(items->array()->begin(), items->array()->end(), isItem)) {
        throw refuse("expected {\"items\": [{\"service\", \"account\", \"secret\"}]}");
    }
    return *items;
}

Keychain::Status SimKeychain::store(JSON items) {
    // The file first: when it cannot be written, nothing changes, as with a failing keychain.
    try {
        PrivateFile::write(JSON(JSON::Object{{"items", items}}).data(), fileUnder(model_.root()));
    } catch (const FileError&) {
        return Status::Other;
    } catch (const JSONWriteError&) {
        return Status::Other; // a secret that is not UTF-8 text
    }
    model_.put({"keychain", "items"}, std::move(items));
    return Status::Success;
}

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
    return store(std::move(items));
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
    return store(std::move(items));
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
    return store(std::move(items));
}

} // namespace corvane
