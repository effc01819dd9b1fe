#include "desktop/instanceguard.h"

#include <algorithm>

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
#include <QThread>
#include <QTimer>

namespace tw {

namespace {

const QByteArray kAck = QByteArrayLiteral("ok\n");
const QString kArgs = QStringLiteral("args");
// A client that says nothing is dropped after this long.
constexpr int kClientIdleMs = 10000;
constexpr int kRetryMs = 50;

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

QString InstanceGuard::serverName(const QString& folder)
{
    QString canonical = QFileInfo(folder).canonicalFilePath();
    if (canonical.isEmpty()) {
        canonical = QDir(folder).absolutePath();
    }
    const QByteArray hash =
        QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha256).toHex().left(20);
    return QStringLiteral("tidewatch-") + QString::fromLatin1(hash);
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

bool InstanceGuard::handOver(const QStringList& args, int timeoutMs)
{
    const QDeadlineTimer deadline(std::max(timeoutMs, 0));
    QLocalSocket socket;
    socket.connectToServer(serverName(m_folder));
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
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
    if (!m_lock || !m_lock->isLocked()) {
        m_error = QStringLiteral("the folder is not held");
        return false;
    }
    const QString name = serverName(m_folder);
    // We hold the lock, so a socket by this name was left by a program that
    // crashed.
    QLocalServer::removeServer(name);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(name)) {
        m_error = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &InstanceGuard::onNewConnection);
    return true;
}

void InstanceGuard::onNewConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
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
