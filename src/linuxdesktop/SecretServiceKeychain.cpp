#include "linuxdesktop/SecretServiceKeychain.h"

#include <libsecret/secret.h>

#include <string>

namespace corvane {

namespace {

const SecretSchema& schema() {
    static const SecretSchema value = {SecretServiceKeychain::schemaName,
                                       SECRET_SCHEMA_NONE,
                                       {
                                           {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       },
                                       0,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr};
    return value;
}

// Owners of the GLib objects handed out by libsecret.
struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using Object = std::unique_ptr<T, ObjectUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableUnref>;

struct ValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using Value = std::unique_ptr<SecretValue, ValueUnref>;

// A list of SecretItems, owning the items and the list.
class ItemList {
public:
    explicit ItemList(GList* list)
        : list_(list) {}
    ~ItemList() { g_list_free_full(list_, g_object_unref); }
    ItemList(const ItemList&) = delete;
    ItemList& operator=(const ItemList&) = delete;

    GList* get() const { return list_; }
    bool empty() const { return list_ == nullptr; }
    SecretItem* first() const { return SECRET_ITEM(list_->data); }

private:
    GList* list_;
};

Attributes attributesOf(const Keychain::Query& query) {
    return Attributes(secret_attributes_build(&schema(), "service", query.service.c_str(),
                                              "account", query.account.c_str(), nullptr));
}

Value valueOf(const std::string& secret) {
    return Value(secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain"));
}

// A refusal because something is locked is what a caller may resolve by allowing a prompt.
Keychain::Status statusOf(const GError* error) {
    if (error != nullptr && g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) {
        return Keychain::Status::InteractionNotAllowed;
    }
    return Keychain::Status::Other;
}

} // namespace

struct SecretServiceKeychain::Connection {
    Object<SecretService> service;

    Status copy(const Query& query, std::string& secret);
    Status update(const Query& query, const std::string& secret);
    Status add(const Query& query, const std::string& secret);
    Status remove(const Query& query);

    // The items of this schema with the query's service and account, locked ones included. Never
    // unlocks anything. Null on failure, with `status` set.
    std::unique_ptr<ItemList> search(const Query& query, Status& status) {
        GError* raw = nullptr;
        const Attributes attributes = attributesOf(query);
        GList* found = secret_service_search_sync(service.get(), &schema(), attributes.get(),
                                                  SECRET_SEARCH_ALL, nullptr, &raw);
        const Error error(raw);
        if (error) {
            status = statusOf(error.get());
            return nullptr;
        }
        return std::make_unique<ItemList>(found);
    }

    // Makes every object in `objects` (items or collections) usable: Success when none is locked;
    // otherwise InteractionNotAllowed, unless a prompt is allowed and the person unlocks them.
    Status unlock(GList* objects, bool locked, bool allowInteraction) {
        if (!locked) {
            return Status::Success;
        }
        if (!allowInteraction) {
            return Status::InteractionNotAllowed;
        }
        GError* raw = nullptr;
        GList* unlocked = nullptr;
        const gint count =
            secret_service_unlock_sync(service.get(), objects, nullptr, &unlocked, &raw);
        g_list_free_full(unlocked, g_object_unref);
        const Error error(raw);
        if (error) {
            return statusOf(error.get());
        }
        return count == static_cast<gint>(g_list_length(objects)) ? Status::Success : Status::Other;
    }

    Status unlockItems(const ItemList& items, bool allowInteraction) {
        bool locked = false;
        for (GList* node = items.get(); node != nullptr; node = node->next) {
            locked = locked || secret_item_get_locked(SECRET_ITEM(node->data)) != FALSE;
        }
        return unlock(items.get(), locked, allowInteraction);
    }

    // The items matching `query`, unlocked; null with `status` set (NotFound, a failed search, or
    // items that stay locked) otherwise.
    std::unique_ptr<ItemList> unlockedMatches(const Query& query, Status& status) {
        std::unique_ptr<ItemList> items = search(query, status);
        if (!items) {
            return nullptr;
        }
        if (items->empty()) {
            status = Status::NotFound;
            return nullptr;
        }
        if (status = unlockItems(*items, query.allowInteraction); status != Status::Success) {
            return nullptr;
        }
        return items;
    }
};

SecretServiceKeychain::SecretServiceKeychain() = default;
SecretServiceKeychain::~SecretServiceKeychain() = default;

Keychain::Status SecretServiceKeychain::copy(const Query& query, std::string& secret) {
    return run([&](Connection& service) { return service.copy(query, secret); });
}

Keychain::Status SecretServiceKeychain::update(const Query& query, const std::string& secret) {
    return run([&](Connection& service) { return service.update(query, secret); });
}

Keychain::Status SecretServiceKeychain::add(const Query& query, const std::string& secret) {
    return run([&](Connection& service) { return service.add(query, secret); });
}

Keychain::Status SecretServiceKeychain::remove(const Query& query) {
    return run([&](Connection& service) { return service.remove(query); });
}

Keychain::Status SecretServiceKeychain::run(const std::function<Status(Connection&)>& operation) {
    const std::lock_guard lock(mutex_);
    Connection* service = connection();
    if (service == nullptr) {
        return Status::Other;
    }
    const Status status = operation(*service);
    // A failure may mean the daemon went away with our session: the next call opens a new one.
    if (status == Status::Other) {
        connection_.reset();
    }
    return status;
}

SecretServiceKeychain::Connection* SecretServiceKeychain::connection() {
    if (!connection_) {
        GError* raw = nullptr;
        SecretService* service = secret_service_open_sync(
            SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, &raw);
        const Error error(raw);
        if (error || service == nullptr) {
            if (service != nullptr) {
                g_object_unref(service);
            }
            return nullptr;
        }
        connection_ = std::make_unique<Connection>();
        connection_->service.reset(service);
    }
    return connection_.get();
}

Keychain::Status SecretServiceKeychain::Connection::copy(const Query& query, std::string& secret) {
    Status status = Status::Other;
    const std::unique_ptr<ItemList> items = unlockedMatches(query, status);
    if (!items) {
        return status;
    }
    GError* raw = nullptr;
    secret_item_load_secret_sync(items->first(), nullptr, &raw);
    if (const Error error(raw); error) {
        return statusOf(error.get());
    }
    const Value value(secret_item_get_secret(items->first()));
    if (!value) {
        return Status::Other;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    secret.assign(bytes, length);
    return Status::Success;
}

Keychain::Status SecretServiceKeychain::Connection::update(const Query& query,
                                                           const std::string& secret) {
    Status status = Status::Other;
    const std::unique_ptr<ItemList> items = unlockedMatches(query, status);
    if (!items) {
        return status;
    }
    // Every match gets the secret, so that a duplicate left by someone else cannot be read back
    // with an older value.
    const Value value = valueOf(secret);
    for (GList* node = items->get(); node != nullptr; node = node->next) {
        GError* raw = nullptr;
        secret_item_set_secret_sync(SECRET_ITEM(node->data), value.get(), nullptr, &raw);
        if (const Error error(raw); error) {
            return statusOf(error.get());
        }
    }
    return Status::Success;
}

Keychain::Status SecretServiceKeychain::Connection::add(const Query& query,
                                                        const std::string& secret) {
    Status status = Status::Other;
    if (const std::unique_ptr<ItemList> items = search(query, status); !items) {
        return status;
    } else if (!items->empty()) {
        return Status::Other;
    }

    GError* raw = nullptr;
    Object<SecretCollection> collection(secret_collection_for_alias_sync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &raw));
    if (const Error error(raw); error) {
        return statusOf(error.get());
    }
    if (!collection) {
        if (!query.allowInteraction) {
            return Status::InteractionNotAllowed;
        }
        collection.reset(
            secret_collection_create_sync(service.get(), "Login", SECRET_COLLECTION_DEFAULT,
                                          SECRET_COLLECTION_CREATE_NONE, nullptr, &raw));
        if (const Error error(raw); error || !collection) {
            return statusOf(error.get());
        }
    }
    GList one{collection.get(), nullptr, nullptr};
    if (status = unlock(&one, secret_collection_get_locked(collection.get()) != FALSE,
                        query.allowInteraction);
        status != Status::Success) {
        return status;
    }

    const Attributes attributes = attributesOf(query);
    const Value value = valueOf(secret);
    const std::string label = query.service + " (" + query.account + ")";
    const Object<SecretItem> item(
        secret_item_create_sync(collection.get(), &schema(), attributes.get(), label.c_str(),
                                value.get(), SECRET_ITEM_CREATE_NONE, nullptr, &raw));
    if (const Error error(raw); error || !item) {
        return statusOf(error.get());
    }
    return Status::Success;
}

Keychain::Status SecretServiceKeychain::Connection::remove(const Query& query) {
    Status status = Status::Other;
    const std::unique_ptr<ItemList> items = unlockedMatches(query, status);
    if (!items) {
        return status;
    }
    for (GList* node = items->get(); node != nullptr; node = node->next) {
        GError* raw = nullptr;
        secret_item_delete_sync(SECRET_ITEM(node->data), nullptr, &raw);
        if (const Error error(raw); error) {
            return statusOf(error.get());
        }
    }
    return Status::Success;
}

} // namespace corvane
