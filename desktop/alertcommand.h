#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <sys/types.h>
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
    // "new": new items; "quiet": the watch went quiet (no items).
    QString event = QStringLiteral("new");
    QString key;      // the search key
    QString words;    // the search words as a reader sees them
    QString watchUrl; // the watch's search-result URL
    int count = 0;    // how many items are new
    std::vector<Item> items;
    // Told late: found before the program was stopped, not told then.
    bool catchup = false;
    // Queued alerts dropped past the queue's bound before this one.
    int dropped = 0;
    // A quiet watch: its usual gap between finds and how long it found nothing.
    long long usualGapS = 0;
    long long quietS = 0;
};

// The `onalert` command: a program started for each alert, without a shell,
// that reads the alert as one JSON object on its standard input. Everything
// runs on the owner's event loop, so run() returns at once; a command is
// ended after a time-out, counted from when its input reached it. Each runs
// in a process group of its own, which ends with it: what the command leaves
// running there gets SIGTERM when it exits, and SIGKILL kEndGrace later; so
// do the groups still alive when the AlertCommand goes. Its exit status and
// the last lines of its output are kept, and a failure is told once until a
// command succeeds again.
//
// The caller starts it for real alerts only: never for a baseline or for
// "全部标记为已见", which store items without reporting them.
class AlertCommand : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxRunning = 4;
    static constexpr qsizetype kOutputKept = 4096;
    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};
    // Between SIGTERM and SIGKILL for what a command left in its group; at
    // destruction also the most the destructor waits.
    static constexpr std::chrono::milliseconds kEndGrace{2000};

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
    // nothing is started, and the alerts waiting are done with (their ended
    // is called). A new command starts a new episode of failures.
    void setCommand(const QString& commandLine);
    // host[:port] of the item pages named in the JSON.
    void setItemHost(const QString& itemHost);
    void setTimeout(std::chrono::milliseconds timeout);

    bool isSet() const { return !m_program.isEmpty(); }
    // Hands alert to a command, at most kMaxRunning at once and the rest in
    // turn; false when no command is set. ended is called once the command for it has
    // ended, however it ended, but not when the AlertCommand goes first: a
    // command cut short by the close was not run.
    bool run(const AlertInfo& alert, std::function<void()> ended = {});

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
    struct Job
    {
        QByteArray input;
        std::function<void()> ended;
    };
    struct Run
    {
        Outcome outcome;
        pid_t group = 0; // the command's pid, which leads its group; 0 until forked
        std::function<void()> ended;
    };

    void start(Job job);
    void finish(QProcess* process);
    void endGroup(pid_t group);
    void report(const QString& text);

    QString m_commandLine;
    QString m_program;
    QStringList m_arguments;
    QString m_itemHost;
    std::chrono::milliseconds m_timeout = kDefaultTimeout;
    std::map<QProcess*, Run> m_running;
    // Groups of ended commands sent SIGTERM and waiting for their SIGKILL.
    std::set<pid_t> m_leftovers;
    std::deque<Job> m_waiting;
    Outcome m_last;
    bool m_failureTold = false;
};

} // namespace tw
