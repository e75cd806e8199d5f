#include "relay/DashboardEvents.h"

#include <algorithm>
#include <vector>

namespace corvane {

bool DashboardEvents::canOpen(std::int64_t accountId, const std::string& sessionKey) {
    forgetEnded();
    std::size_t ofSession = 0;
    std::size_t ofAccount = 0;
    for (const auto& [id, stream] : streams_) {
        ofAccount += stream.accountId == accountId ? 1 : 0;
        ofSession += stream.sessionKey == sessionKey ? 1 : 0;
    }
    return ofSession < perSession && ofAccount < perAccount && streams_.size() < inAll;
}

bool DashboardEvents::open(std::unique_ptr<EventSink> sink, std::int64_t accountId,
                           std::string sessionKey, Clock::MonotonicTime expiresAt) {
    if (!canOpen(accountId, sessionKey)) {
        sink->close();
        return false;
    }
    streams_.emplace(nextId_++,
                     Stream{std::move(sink), accountId, std::move(sessionKey), expiresAt});
    return true;
}

std::string DashboardEvents::event(std::string_view type, const JSON& data) {
    // The JSON writer escapes line breaks inside strings, so the data is one line.
    std::string text = "event: ";
    text += type;
    text += "\ndata: ";
    text += data.data();
    text += "\n\n";
    return text;
}

void DashboardEvents::publish(std::int64_t accountId, std::string_view type, const JSON& data) {
    std::string text;
    for (auto& [id, stream] : streams_) {
        if (stream.accountId != accountId || !stream.sink->open()) {
            continue;
        }
        if (text.empty()) {
            text = event(type, data);
        }
        stream.sink->send(text);
    }
}

void DashboardEvents::endSession(const std::string& sessionKey) {
    std::erase_if(streams_, [&](auto& entry) {
        if (entry.second.sessionKey != sessionKey) {
            return false;
        }
        entry.second.sink->close();
        return true;
    });
}

void DashboardEvents::tick() {
    const Clock::MonotonicTime now = clock_.monotonicNow();
    std::erase_if(streams_, [&](auto& entry) {
        if (entry.second.sink->open() && now < entry.second.expiresAt) {
            return false;
        }
        entry.second.sink->close();
        return true;
    });
    if (now < nextKeepAlive_) {
        return;
    }
    nextKeepAlive_ = now + keepAlivePeriod;
    for (auto& [id, stream] : streams_) {
        stream.sink->send(": still here\n\n");
    }
}

void DashboardEvents::endAll() {
    for (auto& [id, stream] : streams_) {
        stream.sink->close();
    }
    streams_.clear();
}

std::size_t DashboardEvents::openCount() {
    forgetEnded();
    return streams_.size();
}

void DashboardEvents::forgetEnded() {
    std::erase_if(streams_, [](const auto& entry) { return !entry.second.sink->open(); });
}

} // namespace corvane
