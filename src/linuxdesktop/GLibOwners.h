#pragma once

#include <gio/gio.h>

#include <memory>

namespace corvane {

// Owners of what GLib hands out, so that every path out of a call releases it.
struct GLibOwners {
    struct ObjectUnref {
        void operator()(gpointer object) const { g_object_unref(object); }
    };
    struct ErrorFree {
        void operator()(GError* error) const { g_error_free(error); }
    };
    struct Free {
        void operator()(gpointer memory) const { g_free(memory); }
    };
    struct VariantUnref {
        void operator()(GVariant* value) const { g_variant_unref(value); }
    };

    template <typename T>
    using Object = std::unique_ptr<T, ObjectUnref>;
    using Error = std::unique_ptr<GError, ErrorFree>;
    using String = std::unique_ptr<gchar, Free>;
    using Variant = std::unique_ptr<GVariant, VariantUnref>;
};

} // namespace corvane
