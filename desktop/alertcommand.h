#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <vector>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;

namespace tw {

// What one alert tells the alert command.
struct AlertInfo
{
    struct Item
    {
        QString id;
        QString title;
    };
    QString key;      // the search key
    QString words;    // the search words as a reader sees them
    QString watchUrl; // the watch's search-result URL
    int count = 0;    // how many items are new
    std::vector<Item> items;
};

// The `onalert` command: a program started for each alert, without a shell,
// that reads the alert as one JSON object on its standard input. Everything
// runs on the owner's event loop, so run() returns at once; a command is
// ended after a time-out. Its exit status and the last lines of its output
// are kept, and a failure is told once until a command succeeds again.
//
// The caller starts it for real alerts only: never for a baseline or for
// "全部标记为已见", which store items without reporting them.
class AlertCommand : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxRunning = 4;
    // Alerts waiting for a free place beyond those running; more are dropped
    // and told as a failure.
    static constexpr std::size_t kMaxWaiting = 32;
    static constexpr qsizetype kOutputKept = 4096;
    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

    // How the last command ended.
    struct Outcome
    {
        bool started = false;
        bool timedOut = false;
        bool crashed = false;
        int exitCode = -1;
        QByteArray output; // the last lines of stdout and stderr together
        bool ok() const { return started && !timedOut && !crashed && exitCode == 0; }
    };

    explicit AlertCommand(QObject* parent = nullptr);
    ~AlertCommand() override;

    // The setting as written: a program and its arguments, split at blanks
    // with "..." keeping blanks in one word, and nothing expanded. Empty:
    // nothing is started. A new command starts a new episode of failures.
    void setCommand(const QString& commandLine);
    // host[:port] of the item pages named in the JSON.
    void setItemHost(const QString& itemHost);
    void setTimeout(std::chrono::milliseconds timeout);

    bool isSet() const { return !m_program.isEmpty(); }
    void run(const AlertInfo& alert);

    int running() const { return static_cast<int>(m_running.size()); }
    int waiting() const { return static_cast<int>(m_waiting.size()); }
    const Outcome& last() const { return m_last; }

    static QByteArray toJson(const AlertInfo& alert, const QString& itemHost);

Q_SIGNALS:
    // Every command that ended, with how.
    void finished(const tw::AlertCommand::Outcome& outcome);
    // Once per episode of failures; starts with "提示：".
    void failed(const QString& text);

private:
    void start(const QByteArray& input);
    void finish(QProcess* process);
    void report(const QString& text);

    QString m_commandLine;
    QString m_program;
    QStringList m_arguments;
    QString m_itemHost;
    std::chrono::milliseconds m_timeout = kDefaultTimeout;
    std::map<QProcess*, Outcome> m_running;
    std::deque<QByteArray> m_waiting;
    Outcome m_last;
    bool m_failureTold = false;
};

} // namespace tw
