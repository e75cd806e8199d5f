#include "platform/LineSocketServer.h"

#include "platform/SocketAccept.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvane {

namespace {

// Accepts per wake-up, so that a burst of connections cannot starve reads on the open ones.
constexpr int maxAcceptsPerWake = 16;

constexpr const char* tooLong = R"({"error":"command line too long","ok":false})"
                                "\n";

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The peer runs as this process's user. The socket's mode already keeps others out; this keeps
// them out too should the folder's or the socket's mode ever be loosened.
bool sameUser(int descriptor) {
    struct ucred peer {};
    socklen_t length = sizeof(peer);
    return ::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           peer.uid == ::geteuid();
}

} // namespace

LineSocketServer::LineSocketServer(Handler handler, qsizetype maxLineBytes, QObject* parent)
    : QObject(parent)
    , handler_(std::move(handler))
    , maxLineBytes_(maxLineBytes)
    , acceptRetry_(this) {
    acceptRetry_.setSingleShot(true);
    acceptRetry_.setInterval(acceptRetryDelay);
    connect(&acceptRetry_, &QTimer::timeout, this, &LineSocketServer::retryAccepting);
}

LineSocketServer::~LineSocketServer() {
    close();
}

bool LineSocketServer::listen(const QString& path, QString* error) {
    const auto fail = [error](QString why) {
        if (error != nullptr) {
            *error = std::move(why);
        }
        return false;
    };
    close();
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.isEmpty() || static_cast<std::size_t>(name.size()) >= sizeof(address.sun_path)) {
        return fail(QStringLiteral("the socket path is empty or longer than ") +
                    QString::number(sizeof(address.sun_path) - 1) + QStringLiteral(" bytes"));
    }
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));

    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        return fail(QStringLiteral("cannot create ") + folder);
    }
    if (::chmod(QFile::encodeName(folder).constData(), 0700) != 0) {
        return fail(QStringLiteral("cannot make ") + folder + QStringLiteral(" private: ") +
                    systemError(errno));
    }
    // What an earlier run left there; one agent runs per data folder, so nobody else owns it.
    if (::unlink(name.constData()) != 0 && errno != ENOENT) {
        return fail(QStringLiteral("cannot replace ") + path + QStringLiteral(": ") +
                    systemError(errno));
    }
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        return fail(QStringLiteral("socket: ") + systemError(errno));
    }
    const char* failed = nullptr;
    struct stat bound {};
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        failed = "bind";
    } else if (::chmod(name.constData(), 0600) != 0) {
        // Nobody else can reach it meanwhile: its folder is already owner-only.
        failed = "chmod";
    } else if (::lstat(name.constData(), &bound) != 0) {
        failed = "stat";
    } else if (::listen(descriptor, SOMAXCONN) != 0) {
        failed = "listen";
    }
    if (failed != nullptr) {
        const int why = errno;
        ::close(descriptor);
        if (std::strcmp(failed, "bind") != 0) {
            ::unlink(name.constData());
        }
        return fail(QString::fromLatin1(failed) + QStringLiteral(" ") + path +
                    QStringLiteral(": ") + systemError(why));
    }
    descriptor_ = descriptor;
    device_ = bound.st_dev;
    inode_ = bound.st_ino;
    path_ = path;
    notifier_ = std::make_unique<QSocketNotifier>(descriptor_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &LineSocketServer::acceptPending);
    return true;
}

void LineSocketServer::close() {
    acceptRetry_.stop();
    notifier_.reset();
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
        // A second server may have replaced the socket since: its file stays.
        const QByteArray name = QFile::encodeName(path_);
        struct stat current {};
        if (::lstat(name.constData(), &current) == 0 && current.st_dev == device_ &&
            current.st_ino == inode_) {
            ::unlink(name.constData());
        }
    }
    for (QLocalSocket* socket : findChildren<QLocalSocket*>(Qt::FindDirectChildrenOnly)) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void LineSocketServer::acceptPending() {
    for (int i = 0; i < maxAcceptsPerWake && descriptor_ >= 0; ++i) {
        const SocketAccept::Result next = SocketAccept::next(descriptor_);
        switch (next.outcome) {
        case SocketAccept::Outcome::Accepted:
            failureReported_ = false;
            adopt(next.descriptor);
            continue;
        case SocketAccept::Outcome::Skipped:
            continue;
        case SocketAccept::Outcome::Drained:
            return;
        case SocketAccept::Outcome::Exhausted:
            // Pause instead of spinning on the queued connection, and look again shortly.
            ++failedAccepts_;
            if (!failureReported_) {
                qWarning("Control socket %s cannot accept: %s; retrying", qPrintable(path_),
                         std::strerror(next.error));
                failureReported_ = true;
            }
            notifier_->setEnabled(false);
            acceptRetry_.start();
            return;
        }
    }
}

void LineSocketServer::retryAccepting() {
    if (notifier_) {
        notifier_->setEnabled(true);
    }
}

void LineSocketServer::adopt(int descriptor) {
    if (!sameUser(descriptor)) {
        ::close(descriptor);
        return;
    }
    auto* socket = new QLocalSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(descriptor);
        delete socket;
        return;
    }
    // Never more than one line and its end is taken from the peer before it is handled.
    socket->setReadBufferSize(maxLineBytes_ + 2);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
    // A peer that stopped reading is read from again once its answers have drained.
    connect(socket, &QLocalSocket::bytesWritten, this, [this, socket] { read(socket); });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    read(socket);
}

void LineSocketServer::read(QLocalSocket* socket) {
    // Answers the peer has not read yet, at most: beyond, its next lines wait in the kernel.
    const qint64 unsentLimit = maxLineBytes_;
    while (socket->state() == QLocalSocket::ConnectedState &&
           socket->bytesToWrite() <= unsentLimit) {
        const bool complete = socket->canReadLine();
        if (!complete && socket->bytesAvailable() <= maxLineBytes_) {
            return; // the rest of the line is still coming
        }
        QByteArray line = complete ? socket->readLine(maxLineBytes_ + 2) : QByteArray();
        if (!complete || !line.endsWith('\n')) {
            socket->write(tooLong);
            socket->disconnectFromServer();
            return;
        }
        line.chop(1);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        if (line.trimmed().isEmpty()) {
            continue;
        }
        const std::string answer =
            handler_(std::string_view(line.constData(), static_cast<std::size_t>(line.size()))) +
            "\n";
        socket->write(answer.data(), static_cast<qint64>(answer.size()));
    }
}

} // namespace corvane
