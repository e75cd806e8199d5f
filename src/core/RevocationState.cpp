#include "core/RevocationState.h"

#include "core/ContractError.h"
#include "core/DamagedFileError.h"
#include "core/JSON.h"
#include "core/PrivateFile.h"
#include "core/Uuid.h"

namespace corvane {

RevocationState::RevocationState(std::filesystem::path file)
    : file_(std::move(file)) {
    const std::optional<std::string> content = PrivateFile::read(file_);
    if (!content) {
        return;
    }
    JSON document;
    try {
        document = JSON::parse(*content);
    } catch (const JSONReadError& error) {
        throw JSONReadError(file_.string() + ": " + error.what());
    }
    const JSON* flag = document.find("pending");
    const std::optional<bool> value = flag != nullptr ? flag->boolean() : std::nullopt;
    if (!value) {
        throw DamagedFileError("invalid_revocation_state", file_, 0,
                               "not an object with a boolean \"pending\"");
    }
    pending_ = *value;
}

void RevocationState::begin() {
    save(true);
    pending_ = true;
}

void RevocationState::acknowledge() {
    save(false);
    pending_ = false;
}

void RevocationState::save(bool pending) const {
    PrivateFile::write(JSON(JSON::Object{{"pending", JSON(pending)}}).data(), file_);
}

QUrl RevocationState::dashboardLink(const QString& base, std::string_view deviceID) {
    const ContractError invalid("invalid_dashboard");
    // QUrl lower-cases the scheme it parses, so the written form is checked first.
    if (!base.startsWith(QLatin1String("https:")) || !Uuid::isCanonical(deviceID)) {
        throw invalid;
    }
    QUrl url(base, QUrl::StrictMode);
    // An "@" with nothing before it is still a user-info part, however empty.
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty() ||
        url.authority(QUrl::FullyEncoded).contains(QLatin1Char('@')) || url.hasQuery() ||
        url.hasFragment()) {
        throw invalid;
    }
    QString path = url.path(QUrl::FullyEncoded);
    while (path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    path += QLatin1String("/devices/") +
            QString::fromLatin1(deviceID.data(), static_cast<qsizetype>(deviceID.size())).toLower();
    url.setPath(path, QUrl::StrictMode);
    if (!url.isValid()) {
        throw invalid;
    }
    return url;
}

} // namespace corvane
