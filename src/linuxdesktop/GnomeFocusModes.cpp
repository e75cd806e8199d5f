#include "linuxdesktop/GnomeFocusModes.h"

#include "linuxdesktop/GLibOwners.h"

// The default backend's kind tells settings that reach the settings service from ones that only
// live in memory.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gsettingsbackend.h>

#include <QPromise>
#include <QString>
#include <qcoro/qcorofuture.h>

#include <cstdlib>
#include <cstring>

namespace corvane {

namespace {

struct SchemaUnref {
    void operator()(GSettingsSchema* schema) const { g_settings_schema_unref(schema); }
};
struct KeyUnref {
    void operator()(GSettingsSchemaKey* key) const { g_settings_schema_key_unref(key); }
};

FocusModes::Outcome change(const std::string& schemaId, const std::string& keyName,
                           bool showBanners) {
    using Outcome = FocusModes::Outcome;
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (source == nullptr) {
        return Outcome::Unavailable;
    }
    const std::unique_ptr<GSettingsSchema, SchemaUnref> schema(
        g_settings_schema_source_lookup(source, schemaId.c_str(), TRUE));
    if (!schema || !g_settings_schema_has_key(schema.get(), keyName.c_str())) {
        return Outcome::Unavailable;
    }
    const std::unique_ptr<GSettingsSchemaKey, KeyUnref> key(
        g_settings_schema_get_key(schema.get(), keyName.c_str()));
    if (!g_variant_type_equal(g_settings_schema_key_get_value_type(key.get()),
                              G_VARIANT_TYPE_BOOLEAN)) {
        return Outcome::Unavailable;
    }
    // Settings kept only in this process's memory would "succeed" and change nothing.
    GSettingsBackend* backend = g_settings_backend_get_default();
    const bool memoryOnly =
        backend == nullptr ||
        std::strcmp(G_OBJECT_TYPE_NAME(backend), "GMemorySettingsBackend") == 0 ||
        std::strcmp(G_OBJECT_TYPE_NAME(backend), "GNullSettingsBackend") == 0;
    if (backend != nullptr) {
        g_object_unref(backend);
    }
    if (memoryOnly) {
        return Outcome::Unavailable;
    }
    const GLibOwners::Object<GSettings> settings(
        g_settings_new_full(schema.get(), nullptr, nullptr));
    if (static_cast<bool>(g_settings_get_boolean(settings.get(), keyName.c_str())) == showBanners) {
        return Outcome::Confirmed;
    }
    if (!g_settings_is_writable(settings.get(), keyName.c_str()) ||
        !g_settings_set_boolean(settings.get(), keyName.c_str(), showBanners)) {
        return Outcome::Refused;
    }
    // Waits until the settings service has taken the write (or refused it, which puts the old
    // value back), then reads it back through a settings object of its own.
    g_settings_sync();
    const GLibOwners::Object<GSettings> check(g_settings_new_full(schema.get(), nullptr, nullptr));
    return static_cast<bool>(g_settings_get_boolean(check.get(), keyName.c_str())) == showBanners
               ? Outcome::Confirmed
               : Outcome::NotConfirmed;
}

bool namesGnome(const std::string& desktops) {
    for (const QString& name : QString::fromStdString(desktops).split(u':')) {
        if (name.compare(QLatin1StringView("GNOME"), Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

GnomeFocusModes::GnomeFocusModes(std::string desktops, std::string schema, std::string key)
    : gnome_(namesGnome(desktops))
    , schema_(std::move(schema))
    , key_(std::move(key)) {
    pool_.setMaxThreadCount(1);
}

GnomeFocusModes::~GnomeFocusModes() {
    pool_.waitForDone();
}

std::string GnomeFocusModes::currentDesktops() {
    const char* value = std::getenv("XDG_CURRENT_DESKTOP");
    return value != nullptr ? std::string(value) : std::string();
}

QCoro::Task<FocusModes::Outcome>
GnomeFocusModes::setDoNotDisturb(bool enabled, std::function<void()> beforeChange) {
    if (!gnome_) {
        co_return Outcome::Unavailable;
    }
    if (beforeChange) {
        beforeChange();
    }
    auto promise = std::make_shared<QPromise<Outcome>>();
    QFuture<Outcome> future = promise->future();
    promise->start();
    pool_.start([promise, schema = schema_, key = key_, enabled] {
        Outcome outcome = Outcome::Unavailable;
        try {
            outcome = change(schema, key, !enabled);
        } catch (...) {
            outcome = Outcome::Unavailable;
        }
        promise->addResult(outcome);
        promise->finish();
    });
    co_return co_await future;
}

} // namespace corvane
