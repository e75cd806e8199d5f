#pragma once

#include <glib-object.h>

#include <memory>

namespace corvane {

// Releases what libatspi hands out, on every path.
struct AtspiUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

template <typename T>
using AtspiRef = std::unique_ptr<T, AtspiUnref>;

} // namespace corvane
