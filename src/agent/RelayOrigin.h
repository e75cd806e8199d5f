#pragma once

#include <QString>
#include <QUrl>

#include <optional>
#include <string>

namespace corvane {

// Where the relay and its dashboard are, from the address a person typed or the build supplied.
// Pure functions; the Agent holds the texts.
namespace RelayOrigin {

// The relay origin: an "https" URL (scheme as written, lower case) with a host, an optional port,
// no user information, query or fragment, and an empty path or "/". Anything else throws
// ContractError "https_relay_required".
QUrl origin(const std::string& relay);

// The dashboard: the build's own dashboard when `relay` is the build's relay (compared without
// leading and trailing "/") and that dashboard passes the origin rule; the relay origin itself in
// every other case (a self-hosted relay serves its own dashboard). Throws as origin(relay) does.
QUrl dashboard(const std::string& relay, const std::string& builtRelay,
               const std::string& builtDashboard);

// The dashboard with the fragment "pair=" and the code; absent when the code is empty.
std::optional<QUrl> pairingLink(const QUrl& dashboard, const std::string& code);

// `origin` with `path` ("v1/pairing/code") appended as path components.
QUrl endpoint(const QUrl& origin, const QString& path);

// The session's address: the endpoint "v1/ws/device" with the scheme "wss".
QUrl webSocket(const QUrl& origin);

} // namespace RelayOrigin

} // namespace corvane
