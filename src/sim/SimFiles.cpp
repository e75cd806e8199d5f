#include "sim/SimFiles.h"

#include <QSaveFile>

namespace corvane {

bool SimFiles::replace(const QString& path, std::string_view bytes,
                       std::optional<QFileDevice::Permissions> permissions) {
    // QSaveFile creates its temporary file exclusively (O_EXCL, or unnamed) beside the target and
    // renames it over the target on commit.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    if (file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
            static_cast<qint64>(bytes.size()) ||
        (permissions && !file.setPermissions(*permissions))) {
        return false; // an uncommitted file is discarded
    }
    return file.commit();
}

} // namespace corvane
