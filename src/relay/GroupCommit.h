#pragma once

namespace corvane {

// A store that can hold several writes in one transaction, each bracketed so that its own failure
// undoes it alone: the store's thread commits whatever writes queued up together with one sync
// instead of one each. Every call throws RelayStoreError when the database fails.
class GroupCommit {
public:
    virtual ~GroupCommit() = default;

    virtual void beginGroup() = 0;
    // Around one write of the group: kept, or undone back to where it began.
    virtual void markWrite() = 0;
    virtual void keepWrite() = 0;
    virtual void undoWrite() = 0;
    virtual void commitGroup() = 0;
    // Rolls back whatever the group left; never throws (the connection may be broken already).
    virtual void abandonGroup() noexcept = 0;
};

} // namespace corvane
