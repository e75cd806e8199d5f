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

    template <typename T>
    using Object = std::unique_ptr<T, ObjectUnref>;
    using Error = std::unique_ptr<GError, ErrorFree>;
};

} // namespace corvane
