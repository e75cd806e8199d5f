#pragma once

#include <cstddef>
#include <memory>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainContext GMainContext;
typedef struct _GVariant GVariant;
typedef struct _GVariantType GVariantType;

namespace corvane {

// Calls to other applications over the accessibility bus, sent together and then collected: a
// hundred reads cost about one round trip instead of a hundred. Runs on one thread (the
// accessibility thread); replies are dispatched by a main context of its own, so collecting never
// runs another job of that thread.
class AtspiPipeline {
public:
    struct VariantUnref {
        void operator()(GVariant* value) const;
    };
    using Reply = std::unique_ptr<GVariant, VariantUnref>;

    // Connects to the accessibility bus of the session; null when it cannot be reached.
    static std::unique_ptr<AtspiPipeline> connect(int timeoutMilliseconds);
    ~AtspiPipeline();
    AtspiPipeline(const AtspiPipeline&) = delete;
    AtspiPipeline& operator=(const AtspiPipeline&) = delete;

    // Sends one method call (`arguments` may be floating or null) and returns the index of its
    // reply in the next collect(). Nothing waits here.
    std::size_t send(const char* busName, const char* path, const char* interface,
                     const char* method, GVariant* arguments, const GVariantType* replyType,
                     int timeoutMilliseconds);
    // A property through org.freedesktop.DBus.Properties.Get; its reply is the bare value.
    std::size_t property(const char* busName, const char* path, const char* interface,
                         const char* name, int timeoutMilliseconds);
    // Waits for the reply of every call sent since the last collect, in the order sent. A reply
    // that is an error, late, or of another type than asked is null.
    std::vector<Reply> collect();

private:
    AtspiPipeline(GDBusConnection* connection);
    struct Pending;

    GDBusConnection* connection_;
    GMainContext* context_;
    std::vector<GVariant*> replies_;
    std::vector<bool> unboxed_;
    std::size_t waiting_ = 0;
};

} // namespace corvane
