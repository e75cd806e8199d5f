#include "agent/AgentControlServer.h"

namespace corvane {

namespace {

JSON refusal(std::string error) {
    return JSON(JSON::Object{{"ok", JSON(false)}, {"error", JSON(std::move(error))}});
}

} // namespace

AgentControlServer::AgentControlServer(Handler handler, QObject* parent)
    : QObject(parent)
    , handler_(std::move(handler))
    , server_([this](std::string_view line) { return answer(line); }, maxLineBytes) {}

AgentControlServer::~AgentControlServer() {
    close();
}

bool AgentControlServer::listen(const QString& path, QString* error) {
    return server_.listen(path, error);
}

void AgentControlServer::close() {
    server_.close();
}

std::string AgentControlServer::answer(std::string_view line) const {
    JSON command;
    try {
        command = JSON::parse(line);
    } catch (const std::exception&) {
        return refusal("not a JSON command").data();
    }
    if (!command.isObject() || command.stringMember("cmd") == nullptr) {
        return refusal("expected {\"cmd\": ...}").data();
    }
    try {
        return handler_(command).data();
    } catch (const std::exception& error) {
        return refusal(error.what()).data();
    }
}

} // namespace corvane
