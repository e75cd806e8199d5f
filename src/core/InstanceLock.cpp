#include "core/InstanceLock.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

InstanceLock::InstanceLock(InstanceLock&& other) noexcept
    : descriptor_(other.descriptor_) {
    other.descriptor_ = -1;
}

InstanceLock::~InstanceLock() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

std::optional<InstanceLock> InstanceLock::acquire(const QString& file, QString* error) {
    const auto fail = [error](const QString& text) {
        if (error != nullptr) {
            *error = text;
        }
        return std::nullopt;
    };
    const QString folder = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(folder)) {
        return fail(QStringLiteral("cannot create ") + folder);
    }
    const QByteArray path = QFile::encodeName(file);
    const int descriptor =
        ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (descriptor < 0) {
        return fail(file + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno)));
    }
    InstanceLock lock(descriptor);
    int result = 0;
    do {
        result = ::flock(descriptor, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        return fail(errno == EWOULDBLOCK ? heldText()
                                         : file + QStringLiteral(": ") +
                                               QString::fromLocal8Bit(std::strerror(errno)));
    }
    return lock;
}

} // namespace corvane
