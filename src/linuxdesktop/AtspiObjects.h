#pragma once

#include "linuxdesktop/AtspiPipeline.h"
#include "linuxdesktop/AtspiRef.h"
#include "platform/AXElement.h"
#include "platform/PlatformValue.h"

#include <atspi/atspi.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane {

// What AtspiAccessibility holds on its thread: the handles it gave out (an element's token for
// the application's bus name and object path) and what the batch that runs has read, with the
// reads of the elements a walk asks for next sent together over AtspiPipeline.
struct AtspiObjects {
    // Time-out of the status reads and of every call until a user sets its own.
    static constexpr gint defaultTimeout = 2000;
    // Children read of one element at most: a list of a hundred thousand rows is not walked
    // anyway.
    static constexpr gint maxChildren = 1000;
    // Elements searched for the focused one or the menu bar.
    static constexpr std::size_t maxSearched = 2000;

    static bool isWindowRole(AtspiRole role);

    // What one element answered during the batch that runs. A walk asks each element for its
    // role up to three times, its name, description, actions, extents, children and value: read
    // one by one, each is a round trip. They are read together, for the element and those queued
    // after it, and kept until the batch ends, so that every check a batch starts with reads
    // afresh.
    struct Facts {
        AtspiRef<AtspiAccessible> object;
        // Role, states, name, description, interfaces and child count were read.
        bool basic = false;
        std::optional<AtspiRole> role;
        std::optional<std::array<guint32, 2>> states;
        std::optional<std::string> name;
        std::optional<std::string> description;
        unsigned interfaces = 0;
        gint childCount = -1;
        // Extents, actions and value were read.
        bool details = false;
        std::optional<AtspiRect> extents;
        std::optional<std::vector<std::string>> actions;
        std::optional<PlatformValue> value;
    };

    std::unordered_map<std::uint64_t, AtspiAccessible*> byToken;
    std::unordered_map<std::string, std::uint64_t> byPath;
    // Unique bus names are never reused while the bus runs.
    std::unordered_map<std::string, std::int32_t> pidByBusName;
    std::uint64_t next = 1;
    std::unique_ptr<AtspiPipeline> pipeline;
    gint timeout = defaultTimeout;
    bool batching = false;
    std::unordered_map<AtspiAccessible*, Facts> facts;
    // Children in the order they were read during the batch: the order a walk asks for them.
    std::vector<AtspiRef<AtspiAccessible>> order;
    std::unordered_map<AtspiAccessible*, std::size_t> orderIndex;
    // atspi_init succeeded: atspi_exit releases what it holds.
    bool initialised = false;

    ~AtspiObjects() { clear(); }

    void clear();

    // Drops what the batch read.
    void forget();

    static const char* busName(AtspiAccessible* object);

    static const char* path(AtspiAccessible* object);

    static std::string key(AtspiAccessible* object);

    // Takes over the caller's reference.
    AXElement handle(AtspiAccessible* object);

    AtspiAccessible* object(AXElement element) const;

    Facts& factsOf(AtspiAccessible* object);

    // `object` and the elements read after it that still lack what `done` says, at most
    // readAhead of them.
    template <typename Done>
    std::vector<AtspiAccessible*> readTogether(AtspiAccessible* object, Done&& done);

    Facts& basic(AtspiAccessible* object);

    Facts& details(AtspiAccessible* object);

    // One call of the port: outside a batch, what it read is dropped when it ends.
    class Call {
    public:
        explicit Call(AtspiObjects& objects)
            : objects_(objects) {}
        ~Call() {
            if (!objects_.batching) {
                objects_.forget();
            }
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        AtspiObjects& objects_;
    };

    // A new reference to the object kept for the path of `fresh` (a new reference itself), so
    // that what is read of it is found again under one pointer.
    AtspiAccessible* known(AtspiAccessible* fresh);

    std::optional<AtspiRole> role(AtspiAccessible* object) { return basic(object).role; }

    bool hasState(AtspiAccessible* object, AtspiStateType state);

    std::optional<std::int32_t> pid(AtspiAccessible* object);

    // New references to the element's first children, at most `limit` (and maxChildren): one
    // call for the list, or for a longer list one call per child kept, sent together. Those kept
    // are read ahead in this order.
    std::vector<AtspiAccessible*> children(AtspiAccessible* object,
                                           std::size_t limit = maxChildren);

    PlatformValue elementList(std::vector<AtspiAccessible*> objects);

    // The application's window that is active (the frontmost frame); null when none is.
    AtspiAccessible* activeWindow(AtspiAccessible* application);

    // The first element under `root` (breadth first, bounded) that `match` accepts; null when
    // none is. Takes over the reference to `root`.
    template <typename Match>
    AtspiAccessible* find(AtspiAccessible* root, Match&& match, std::size_t limit = maxSearched) {
        std::vector<AtspiAccessible*> queue{root};
        AtspiAccessible* found = nullptr;
        std::size_t at = 0;
        for (; at < queue.size() && found == nullptr && at < limit; ++at) {
            if (match(queue[at])) {
                found = queue[at];
                queue[at] = nullptr;
                break;
            }
            std::vector<AtspiAccessible*> next = children(queue[at]);
            queue.insert(queue.end(), next.begin(), next.end());
        }
        for (AtspiAccessible* object : queue) {
            if (object != nullptr) {
                g_object_unref(object);
            }
        }
        return found;
    }
};

} // namespace corvane
