#include "sim/SimControlServer.h"

#include "sim/SimControlCommands.h"

namespace corvane {

SimControlServer::SimControlServer(SimControlCommands& commands, QObject* parent)
    : QObject(parent)
    , commands_(commands)
    , server_([this](std::string_view line) { return commands_.handleLine(line); }, maxLineBytes) {}

SimControlServer::~SimControlServer() = default;

bool SimControlServer::listen(const QString& path, QString* error) {
    return server_.listen(path, error);
}

QString SimControlServer::path() const {
    return server_.path();
}

} // namespace corvane
