#include "desktop/alertcommand.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QUrl>

namespace tw {

namespace {

// Keeps the newest bytes, cut at a line start so no character is split.
void keepTail(QByteArray& kept, const QByteArray& more)
{
    kept += more;
    if (kept.size() <= AlertCommand::kOutputKept) {
        return;
    }
    kept = kept.right(AlertCommand::kOutputKept);
    const qsizetype newline = kept.indexOf('\n');
    if (newline >= 0 && newline + 1 < kept.size()) {
        kept = kept.mid(newline + 1);
    }
}

QString lastLine(const QByteArray& output)
{
    const QList<QByteArray> lines = output.trimmed().split('\n');
    QString line = QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.back()).trimmed();
    constexpr qsizetype kShown = 200;
    if (line.size() > kShown) {
        line = line.left(kShown) + QStringLiteral("…");
    }
    return line;
}

// Whether a process of group still runs. Zombies do not count: orphans stay
// in the group as zombies until init reaps them, which may take a while.
bool groupRuns(pid_t group)
{
    if (::kill(-group, 0) != 0) {
        return false;
    }
    std::error_code ec;
    std::filesystem::directory_iterator proc("/proc", ec);
    if (ec) {
        return true;
    }
    for (const auto& entry : proc) {
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        std::getline(in, stat);
        // The name in "(...)" may hold blanks and ")"; state, parent and
        // group follow the last ")".
        const std::size_t nameEnd = stat.rfind(')');
        if (nameEnd == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(nameEnd + 1));
        char state = 0;
        long parent = 0;
        long pgrp = 0;
        if (fields >> state >> parent >> pgrp && pgrp == group && state != 'Z') {
            return true;
        }
    }
    return false;
}

} // namespace

AlertCommand::AlertCommand(QObject* parent) : QObject(parent) {}

AlertCommand::~AlertCommand()
{
    // What the commands started ends with the program, as when each ends.
    std::set<pid_t> groups = m_leftovers;
    for (auto& [process, run] : m_running) {
        process->disconnect(this);
        if (run.group > 0) {
            groups.insert(run.group);
        }
    }
    for (const pid_t group : groups) {
        ::kill(-group, SIGTERM);
    }
    const QDeadlineTimer deadline(kEndGrace);
    for (auto& [process, run] : m_running) {
        process->waitForFinished(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0)));
    }
    while (!deadline.hasExpired() && std::ranges::any_of(groups, groupRuns)) {
        QThread::msleep(20);
    }
    for (const pid_t group : groups) {
        if (groupRuns(group)) {
            ::kill(-group, SIGKILL);
        }
    }
}

void AlertCommand::setCommand(const QString& commandLine)
{
    // The same command again goes on with the episode it is in.
    if (commandLine == m_commandLine) {
        return;
    }
    m_commandLine = commandLine;
    QStringList parts = QProcess::splitCommand(commandLine);
    m_program = parts.isEmpty() ? QString() : parts.takeFirst();
    m_arguments = parts;
    if (m_program.isEmpty()) {
        // Nothing will run them: they are done with, as run() says of new ones.
        std::deque<Job> dropped;
        dropped.swap(m_waiting);
        for (Job& job : dropped) {
            if (job.ended) {
                job.ended();
            }
        }
    }
    m_failureTold = false;
}

void AlertCommand::setItemHost(const QString& itemHost)
{
    m_itemHost = itemHost;
}

void AlertCommand::setTimeout(std::chrono::milliseconds timeout)
{
    m_timeout = timeout;
}

QByteArray AlertCommand::toJson(const AlertInfo& alert, const QString& itemHost)
{
    QJsonArray items;
    for (const AlertInfo::Item& item : alert.items) {
        QJsonObject entry;
        entry.insert(QStringLiteral("id"), item.id);
        entry.insert(QStringLiteral("title"), item.title);
        // Encoded as the page the browser opens: an id holding "#" or "&"
        // must not name another item.
        entry.insert(QStringLiteral("url"),
                     QString(QStringLiteral("http://") + itemHost +
                             QStringLiteral("/item.htm?id=") +
                             QString::fromLatin1(QUrl::toPercentEncoding(item.id))));
        items.append(entry);
    }
    QJsonObject object;
    object.insert(QStringLiteral("event"), alert.event);
    object.insert(QStringLiteral("key"), alert.key);
    object.insert(QStringLiteral("words"), alert.words);
    object.insert(QStringLiteral("url"), alert.watchUrl);
    object.insert(QStringLiteral("count"), alert.count);
    object.insert(QStringLiteral("items"), items);
    if (alert.catchup) {
        object.insert(QStringLiteral("catchup"), true);
    }
    if (alert.dropped > 0) {
        object.insert(QStringLiteral("dropped"), alert.dropped);
    }
    if (alert.event == QStringLiteral("quiet")) {
        object.insert(QStringLiteral("usual_gap_s"), alert.usualGapS);
        object.insert(QStringLiteral("quiet_s"), alert.quietS);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

bool AlertCommand::run(const AlertInfo& alert, std::function<void()> ended)
{
    if (!isSet()) {
        return false;
    }
    Job job{toJson(alert, m_itemHost), std::move(ended)};
    // The alerts wait here as long as it takes: the durable queue behind
    // them is what is bounded.
    if (m_running.size() < kMaxRunning) {
        start(std::move(job));
    } else {
        m_waiting.push_back(std::move(job));
    }
    return true;
}

void AlertCommand::start(Job job)
{
    auto* process = new QProcess(this);
    m_running[process] = {{}, 0, std::move(job.ended)};
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setProgram(m_program);
    process->setArguments(m_arguments);
    // A group of its own, so that what a script starts can be ended with it.
    process->setChildProcessModifier([] { ::setpgid(0, 0); });
    auto* timer = new QTimer(process);
    timer->setSingleShot(true);
    timer->setInterval(m_timeout);
    connect(timer, &QTimer::timeout, this, [this, process] {
        const auto it = m_running.find(process);
        if (it != m_running.end()) {
            it->second.outcome.timedOut = true;
            // Never 0 here (the clock starts after the start), which would
            // name the program's own group.
            if (it->second.group > 0) {
                ::kill(-it->second.group, SIGKILL);
            }
            process->kill();
        }
    });
    connect(process, &QProcess::started, this,
            [this, process] { m_running[process].outcome.started = true; });
    // The clock starts when the input reaches the command, not at start: a
    // busy window may keep it waiting in the buffer. From the first part on,
    // a command that reads none of the rest is its own delay.
    connect(process, &QProcess::bytesWritten, timer, [timer] {
        if (!timer->isActive()) {
            timer->start();
        }
    });
    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] {
        keepTail(m_running[process].outcome.output, process->readAllStandardOutput());
    });
    connect(process, &QProcess::finished, this, [this, process] { finish(process); });
    connect(process, &QProcess::errorOccurred, this,
            [this, process, timer](QProcess::ProcessError e) {
                if (e == QProcess::FailedToStart) {
                    finish(process);
                } else if (e == QProcess::WriteError && !timer->isActive()) {
                    // It closed its input unread: nothing will be written to start the clock.
                    timer->start();
                }
            });
    process->start();
    // A program that cannot start may be told at once, before anything is
    // written.
    if (const auto it = m_running.find(process); it != m_running.end()) {
        // Known from here on, not only once `started` is handled, and made a
        // group here too, so that a kill right away finds it (the child's own
        // setpgid may not have run yet; once it runs a program this fails).
        it->second.group = static_cast<pid_t>(process->processId());
        if (it->second.group > 0) {
            ::setpgid(it->second.group, it->second.group);
        }
        process->write(job.input);
        process->closeWriteChannel();
    }
}

void AlertCommand::finish(QProcess* process)
{
    const auto it = m_running.find(process);
    if (it == m_running.end()) {
        return;
    }
    Outcome outcome = std::move(it->second.outcome);
    const pid_t group = it->second.group;
    const std::function<void()> ended = std::move(it->second.ended);
    m_running.erase(it);
    keepTail(outcome.output, process->readAllStandardOutput());
    if (outcome.started) {
        outcome.exitCode = process->exitCode();
        outcome.crashed = process->exitStatus() == QProcess::CrashExit && !outcome.timedOut;
    }
    const QString why = process->errorString();
    const QString program = process->program();
    process->disconnect(this);
    process->deleteLater();
    if (group > 0) {
        endGroup(group);
    }
    m_last = outcome;
    Q_EMIT finished(outcome);
    if (ended) {
        ended();
    }

    if (outcome.ok()) {
        m_failureTold = false;
    } else {
        QString text;
        if (!outcome.started) {
            text = QStringLiteral("提示：提醒命令 %1 无法启动（%2）").arg(program, why);
        } else if (outcome.timedOut) {
            text = QStringLiteral("提示：提醒命令 %1 秒内未结束，已终止")
                       .arg(std::chrono::duration_cast<std::chrono::seconds>(m_timeout).count());
        } else if (outcome.crashed) {
            text = QStringLiteral("提示：提醒命令异常退出");
        } else {
            text = QStringLiteral("提示：提醒命令失败，退出码 %1").arg(outcome.exitCode);
        }
        const QString line = lastLine(outcome.output);
        if (!line.isEmpty()) {
            text += QStringLiteral("：") + line;
        }
        report(text);
    }

    if (!m_waiting.empty() && m_running.size() < kMaxRunning) {
        Job next = std::move(m_waiting.front());
        m_waiting.pop_front();
        start(std::move(next));
    }
}

void AlertCommand::endGroup(pid_t group)
{
    if (::kill(-group, SIGTERM) != 0) {
        return; // nothing was left
    }
    m_leftovers.insert(group);
    QTimer::singleShot(kEndGrace, this, [this, group] {
        m_leftovers.erase(group);
        // A running command with the same id leads a new group of that id.
        const bool reused = std::ranges::any_of(
            m_running, [group](const auto& entry) { return entry.second.group == group; });
        if (!reused) {
            ::kill(-group, SIGKILL);
        }
    });
}

void AlertCommand::report(const QString& text)
{
    if (!m_failureTold) {
        m_failureTold = true;
        Q_EMIT failed(text);
    }
}

} // namespace tw
