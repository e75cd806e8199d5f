#include "sim/SimKeychain.h"

#include "core/FileError.h"
#include "core/PrivateFile.h"
#include "sim/SimModel.h"
#include "sim/SimScenarioError.h"

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

// What an operation's change did to the items.
enum class Outcome { Unchanged, Changed, NotFound, Duplicate };

} // namespace

std::optional<JSON> SimKeychain::savedItems(const QString& root) {
    const std::filesystem::path path = fileUnder(root);
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

template <typename Change>
Keychain::Status SimKeychain::operate(const char* operation, const Query& query, Change&& change) {
    const std::filesystem::path file = fileUnder(model_.root());
    return model_.with([&](SimParts& mac) {
        mac.record.record("keychain", {{"operation", JSON(operation)},
                                       {"service", JSON(query.service)},
                                       {"account", JSON(query.account)},
                                       {"allow_interaction", JSON(query.allowInteraction)}});
        if (mac.settings.flag({"keychain", "failing"})) {
            return Status::Other;
        }
        if (mac.settings.flag({"keychain", "interaction_not_allowed"}) && !query.allowInteraction) {
            return Status::InteractionNotAllowed;
        }
        JSON items = mac.settings.get({"keychain", "items"});
        switch (change(items)) {
        case Outcome::Unchanged:
            return Status::Success;
        case Outcome::NotFound:
            return Status::NotFound;
        case Outcome::Duplicate:
            return Status::Other;
        case Outcome::Changed:
            break;
        }
        // The file first: when it cannot be written, nothing changes, as with a failing
        // keychain.
        try {
            PrivateFile::write(JSON(JSON::Object{{"items", items}}).data(), file);
        } catch (const FileError&) {
            return Status::Other;
        } catch (const JSONWriteError&) {
            return Status::Other; // a secret that is not UTF-8 text
        }
        mac.settings.put({"keychain", "items"}, std::move(items));
        return Status::Success;
    });
}

Keychain::Status SimKeychain::copy(const Query& query, std::string& secret) {
    return operate("copy", query, [&](const JSON& items) {
        const long index = indexOf(items, query);
        if (index < 0) {
            return Outcome::NotFound;
        }
        secret = *(*items.array())[static_cast<std::size_t>(index)].stringMember("secret");
        return Outcome::Unchanged;
    });
}

Keychain::Status SimKeychain::update(const Query& query, const std::string& secret) {
    return operate("update", query, [&](JSON& items) {
        const long index = indexOf(items, query);
        if (index < 0) {
            return Outcome::NotFound;
        }
        (*(*items.array())[static_cast<std::size_t>(index)].object())["secret"] = JSON(secret);
        return Outcome::Changed;
    });
}

Keychain::Status SimKeychain::add(const Query& query, const std::string& secret) {
    return operate("add", query, [&](JSON& items) {
        if (indexOf(items, query) >= 0) {
            return Outcome::Duplicate;
        }
        items.array()->push_back(JSON(JSON::Object{{"service", JSON(query.service)},
                                                   {"account", JSON(query.account)},
                                                   {"secret", JSON(secret)}}));
        return Outcome::Changed;
    });
}

Keychain::Status SimKeychain::remove(const Query& query) {
    return operate("remove", query, [&](JSON& items) {
        const long index = indexOf(items, query);
        if (index < 0) {
            return Outcome::NotFound;
        }
        items.array()->erase(items.array()->begin() + index);
        return Outcome::Changed;
    });
}

} // namespace corvane
