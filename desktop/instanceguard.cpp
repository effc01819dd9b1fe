#include "desktop/instanceguard.h"

#include <algorithm>
#include <array>
#include <climits>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

namespace tw {

namespace {

const QByteArray kAck = QByteArrayLiteral("ok\n");
const QString kArgs = QStringLiteral("args");
// A client that says nothing is dropped after this long.
constexpr int kClientIdleMs = 10000;
constexpr int kRetryMs = 50;
constexpr qsizetype kMaxSocketPath = sizeof(sockaddr_un{}.sun_path);

// What the XDG base directory rules ask of $XDG_RUNTIME_DIR: owned by this
// user, with access for no one else.
bool isPrivateDir(const QString& path)
{
    struct stat info = {};
    return QDir::isAbsolutePath(path) && ::stat(QFile::encodeName(path).constData(), &info) == 0 &&
           S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// An abstract name has no file permissions: any user may listen on it or
// connect to it, so each end asks the kernel who the other is.
bool peerIsThisUser(qintptr descriptor)
{
    ucred cred = {};
    socklen_t size = sizeof(cred);
    return ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 &&
           cred.uid == ::geteuid();
}

// The file a process runs; empty when it cannot be read (gone, a zombie, a
// kernel thread, another user's process).
QString executableOf(const QString& process)
{
    std::array<char, PATH_MAX> target{};
    const QByteArray link = QFile::encodeName(QStringLiteral("/proc/%1/exe").arg(process));
    const ssize_t size = ::readlink(link.constData(), target.data(), target.size());
    if (size <= 0 || static_cast<size_t>(size) >= target.size()) {
        return {};
    }
    QString path = QFile::decodeName(QByteArray(target.data(), size));
    // An executable replaced by an update while it runs is still this program.
    const QString deleted = QStringLiteral(" (deleted)");
    if (path.endsWith(deleted)) {
        path.chop(deleted.size());
    }
    return path;
}

} // namespace

InstanceGuard::InstanceGuard(QString folder, QObject* parent)
    : QObject(parent), m_folder(std::move(folder))
{}

InstanceGuard::~InstanceGuard()
{
    // The socket goes before the lock, so a launch that finds the lock free
    // never meets a server of ours.
    delete m_server;
    m_server = nullptr;
}

QString InstanceGuard::lockPath() const
{
    return QDir(m_folder).absoluteFilePath(QStringLiteral("tidewatch.lock"));
}

InstanceGuard::Address InstanceGuard::address(const QString& folder)
{
    QString canonical = QFileInfo(folder).canonicalFilePath();
    if (canonical.isEmpty()) {
        canonical = QDir(folder).absolutePath();
    }
    const QByteArray hash =
        QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha256).toHex().left(20);
    const QString name = QStringLiteral("tidewatch-") + QString::fromLatin1(hash);

    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isPrivateDir(runtimeDir)) {
        const QString path = QDir(runtimeDir).absoluteFilePath(name);
        // A longer path cannot be bound at all.
        if (QFile::encodeName(path).size() < kMaxSocketPath) {
            return {path, false};
        }
    }
    return {name, true};
}

InstanceGuard::Claim InstanceGuard::claim(const QStringList& args, int timeoutMs)
{
    m_error.clear();
    m_lock = std::make_unique<QLockFile>(lockPath());
    // A program runs for days: its lock is stale only when its process is
    // gone, never by age (Qt's default would call it stale after 30 s).
    m_lock->setStaleLockTime(0);
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (m_lock->tryLock(0)) {
            return Claim::Owner;
        }
        if (m_lock->error() != QLockFile::LockFailedError) {
            m_error = QStringLiteral("cannot create %1").arg(lockPath());
            m_lock.reset();
            return Claim::Unguarded;
        }
        if (removeLockOfAnotherProgram()) {
            continue;
        }
        // The holder may be between taking the lock and listening, or
        // just ending; both settle quickly.
        if (handOver(args, static_cast<int>(deadline.remainingTime()))) {
            m_lock.reset();
            return Claim::HandedOver;
        }
        if (deadline.hasExpired()) {
            qint64 pid = 0;
            QString host;
            QString app;
            m_lock->getLockInfo(&pid, &host, &app);
            m_error = QStringLiteral("another Tidewatch (process %1) holds %2 and does not answer")
                          .arg(pid)
                          .arg(m_folder);
            m_lock.reset();
            return Claim::NoAnswer;
        }
        QThread::msleep(kRetryMs);
    }
}

// QLockFile believes a lock whose process is alive and runs a program of the
// same file name; after a crash that pid may have gone to another program.
bool InstanceGuard::staleForAnotherProgram() const
{
    qint64 pid = 0;
    QString host;
    QString app;
    if (!m_lock->getLockInfo(&pid, &host, &app) || pid <= 0) {
        return false;
    }
    // A pid of another machine (a shared folder) says nothing about this one.
    if (!host.isEmpty() && host != QSysInfo::machineHostName()) {
        return false;
    }
    const QString self = executableOf(QStringLiteral("self"));
    return !self.isEmpty() && executableOf(QString::number(pid)) != self;
}

bool InstanceGuard::removeLockOfAnotherProgram()
{
    if (!staleForAnotherProgram()) {
        return false;
    }
    // QLockFile removes its stale locks under this same lock, so of two
    // launches the later cannot remove the new lock of the earlier.
    QLockFile remover(lockPath() + QStringLiteral(".rmlock"));
    if (!remover.tryLock(0)) {
        return false;
    }
    // Removal fails while a live holder keeps its lock file locked (flock),
    // so a holder misjudged here still keeps the folder.
    return staleForAnotherProgram() && m_lock->removeStaleLockFile();
}

bool InstanceGuard::handOver(const QStringList& args, int timeoutMs)
{
    const QDeadlineTimer deadline(std::max(timeoutMs, 0));
    const Address to = address(m_folder);
    QLocalSocket socket;
    if (to.abstract) {
        socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    }
    socket.connectToServer(to.name);
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
        return false;
    }
    // Another user's listener on our name gets nothing of the command line.
    if (!peerIsThisUser(socket.socketDescriptor())) {
        return false;
    }
    QJsonObject message;
    message.insert(kArgs, QJsonArray::fromStringList(args));
    socket.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
        return false;
    }
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            return false;
        }
    }
    return socket.readLine() == kAck;
}

bool InstanceGuard::listen()
{
    m_listenError.clear();
    if (!m_lock || !m_lock->isLocked()) {
        m_error = QStringLiteral("the folder is not held");
        return false;
    }
    const Address at = address(m_folder);
    m_server = new QLocalServer(this);
    if (at.abstract) {
        m_server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    } else {
        // We hold the lock, so a socket by this name was left by a program
        // that crashed. The directory is private: no access bits needed.
        QLocalServer::removeServer(at.name);
    }
    if (!m_server->listen(at.name)) {
        const QString shown = at.abstract ? QString(QStringLiteral("@") + at.name) : at.name;
        m_error = QStringLiteral("later launches cannot reach this program on %1: %2")
                      .arg(shown, m_server->errorString());
        m_listenError = m_error;
        delete m_server;
        m_server = nullptr;
        Q_EMIT listenFailed(m_listenError);
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &InstanceGuard::onNewConnection);
    return true;
}

void InstanceGuard::onNewConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (!peerIsThisUser(socket->socketDescriptor())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        QTimer::singleShot(kClientIdleMs, socket, &QObject::deleteLater);
        if (socket->bytesAvailable() > 0) {
            onReadyRead(socket);
        }
    }
}

void InstanceGuard::onReadyRead(QLocalSocket* socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxMessageBytes) {
            socket->abort();
            socket->deleteLater();
        }
        return;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(socket->readLine(kMaxMessageBytes));
    const QJsonValue args = doc.object().value(kArgs);
    if (!args.isArray()) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    QStringList list;
    for (const QJsonValue& arg : args.toArray()) {
        list.append(arg.toString());
    }
    socket->write(kAck);
    socket->flush();
    socket->disconnectFromServer();
    Q_EMIT commandReceived(list);
}

} // namespace tw
