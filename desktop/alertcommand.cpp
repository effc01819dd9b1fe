#include "desktop/alertcommand.h"

#include <csignal>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>

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

} // namespace

AlertCommand::AlertCommand(QObject* parent) : QObject(parent) {}

AlertCommand::~AlertCommand()
{
    for (auto& [process, outcome] : m_running) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);
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
        m_waiting.clear();
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
        entry.insert(QStringLiteral("url"), QString(QStringLiteral("http://") + itemHost +
                                                    QStringLiteral("/item.htm?id=") + item.id));
        items.append(entry);
    }
    QJsonObject object;
    object.insert(QStringLiteral("key"), alert.key);
    object.insert(QStringLiteral("words"), alert.words);
    object.insert(QStringLiteral("url"), alert.watchUrl);
    object.insert(QStringLiteral("count"), alert.count);
    object.insert(QStringLiteral("items"), items);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

void AlertCommand::run(const AlertInfo& alert)
{
    if (!isSet()) {
        return;
    }
    QByteArray input = toJson(alert, m_itemHost);
    if (m_running.size() < kMaxRunning) {
        start(input);
    } else if (m_waiting.size() < kMaxWaiting) {
        m_waiting.push_back(std::move(input));
    } else {
        report(QStringLiteral("提示：提醒命令来不及处理，有提醒未交给它"));
    }
}

void AlertCommand::start(const QByteArray& input)
{
    auto* process = new QProcess(this);
    m_running[process] = {};
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setProgram(m_program);
    process->setArguments(m_arguments);
    // A group of its own, so the time-out also ends what a script started.
    process->setChildProcessModifier([] { ::setpgid(0, 0); });
    connect(process, &QProcess::started, this,
            [this, process] { m_running[process].started = true; });
    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] {
        keepTail(m_running[process].output, process->readAllStandardOutput());
    });
    connect(process, &QProcess::finished, this, [this, process] { finish(process); });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) {
            finish(process);
        }
    });
    auto* timer = new QTimer(process);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, process] {
        const auto it = m_running.find(process);
        if (it != m_running.end()) {
            it->second.timedOut = true;
            if (const qint64 pid = process->processId(); pid > 0) {
                ::kill(-static_cast<pid_t>(pid), SIGKILL);
            }
            process->kill();
        }
    });
    timer->start(m_timeout);
    process->start();
    // A program that cannot start may be told at once, before anything is
    // written.
    if (m_running.count(process) != 0) {
        process->write(input);
        process->closeWriteChannel();
    }
}

void AlertCommand::finish(QProcess* process)
{
    const auto it = m_running.find(process);
    if (it == m_running.end()) {
        return;
    }
    Outcome outcome = std::move(it->second);
    m_running.erase(it);
    keepTail(outcome.output, process->readAllStandardOutput());
    if (outcome.started) {
        outcome.exitCode = process->exitCode();
        outcome.crashed = process->exitStatus() == QProcess::CrashExit && !outcome.timedOut;
    }
    const QString why = process->errorString();
    process->disconnect(this);
    process->deleteLater();
    m_last = outcome;
    Q_EMIT finished(outcome);

    if (outcome.ok()) {
        m_failureTold = false;
    } else {
        QString text;
        if (!outcome.started) {
            text = QStringLiteral("提示：提醒命令无法启动（%1）").arg(why);
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
        const QByteArray next = std::move(m_waiting.front());
        m_waiting.pop_front();
        start(next);
    }
}

void AlertCommand::report(const QString& text)
{
    if (!m_failureTold) {
        m_failureTold = true;
        Q_EMIT failed(text);
    }
}

} // namespace tw
