#pragma once

#include <memory>

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;
class QLocalSocket;
class QLockFile;

namespace tw {

// One program per program folder. The first program takes a lock file in the
// folder and answers on a local socket named after the folder; a later
// launch finds the lock held, hands its command line over that socket and
// ends without touching the folder's files. Programs in different folders
// neither see nor block each other. Only processes of the same user meet.
class InstanceGuard : public QObject
{
    Q_OBJECT

public:
    enum class Claim {
        // This program holds the folder; call listen() once it has an event loop.
        Owner,
        // The running program took the command line; this one should end.
        HandedOver,
        // The lock file cannot be made (a read-only folder): run unguarded.
        Unguarded,
        // Another program holds the folder but does not answer.
        NoAnswer,
    };

    static constexpr int kAnswerTimeoutMs = 5000;
    static constexpr qint64 kMaxMessageBytes = 64 * 1024;

    explicit InstanceGuard(QString folder, QObject* parent = nullptr);
    ~InstanceGuard() override;

    // Needs no event loop and no application object, so it runs before
    // the window or any display exists.
    Claim claim(const QStringList& args, int timeoutMs = kAnswerTimeoutMs);
    // Owner only: answers later launches from now on (through the event loop).
    bool listen();
    // Why the last claim() or listen() did not succeed.
    QString error() const { return m_error; }
    // Why later launches cannot reach this program, though it holds the
    // folder; empty while they can.
    QString listenError() const { return m_listenError; }

    QString lockPath() const;

    // Where the holder of a folder answers: a socket in $XDG_RUNTIME_DIR,
    // or, where that is unset or not a private directory of this user, a
    // Linux abstract name. Never under $TMPDIR, which launches may not share.
    struct Address
    {
        QString name;
        bool abstract = false;
    };
    static Address address(const QString& folder);

Q_SIGNALS:
    // A later launch's arguments (those after the program's name), emitted
    // after it has been answered, so a box opened in reply does not hold it.
    void commandReceived(const QStringList& args);
    // listen() failed: later launches will wait for an answer and give up.
    void listenFailed(const QString& reason);

private:
    bool staleForAnotherProgram() const;
    bool removeLockOfAnotherProgram();
    bool handOver(const QStringList& args, int timeoutMs);
    void onNewConnection();
    void onReadyRead(QLocalSocket* socket);

    QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
    QString m_error;
    QString m_listenError;
};

} // namespace tw
