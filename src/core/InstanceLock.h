#pragma once

#include <QString>

#include <optional>

namespace corvane {

// One program per data folder: an exclusive advisory lock (flock) on a file in it, held for the
// life of the object and released by the system when the process ends, even by kill -9. Taken
// before anything else in the folder is read or written.
class InstanceLock {
public:
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&&) = delete;
    ~InstanceLock();

    // The lock on `file` (created owner-only, with its folder, when missing). Absent with
    // `error` set when another process holds it ("held") or it cannot be taken (the reason).
    static std::optional<InstanceLock> acquire(const QString& file, QString* error);

    // True when `error` from acquire() means another process holds the lock.
    static bool heldElsewhere(const QString& error) { return error == heldText(); }
    static QString heldText() { return QStringLiteral("held by another process"); }

private:
    explicit InstanceLock(int descriptor)
        : descriptor_(descriptor) {}
    int descriptor_ = -1;
};

} // namespace corvane
