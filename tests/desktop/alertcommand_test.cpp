#include "desktop/alertcommand.h"
#include "tests/support/eventloop.h"
#include "tests/support/tempdir.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <vector>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;
using namespace std::chrono_literals;

// The replies and signals arrive as events of this thread.
const auto waitUntil = [](const std::function<bool()>& pred) {
    return test::processEventsUntil(pred);
};

class AlertCommandTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        test::ensureCoreApplication();
        // Orphans of the commands become this process's children, which
        // groupGone reaps: a zombie still counts as a member of its group,
        // and not every init reaps orphans soon.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    static std::vector<pid_t> pidsIn(const std::string& path)
    {
        std::istringstream text(readFile(path));
        std::vector<pid_t> pids;
        for (pid_t pid; text >> pid;) {
            pids.push_back(pid);
        }
        return pids;
    }

    // Whether nothing of group is left, once the members that became this
    // process's children are reaped.
    static bool groupGone(pid_t group, const std::vector<pid_t>& members)
    {
        for (const pid_t pid : members) {
            ::waitpid(pid, nullptr, WNOHANG);
        }
        return ::kill(-group, 0) != 0 && errno == ESRCH;
    }

    // A script of the test's own; the program starts it without a shell.
    std::string script(const std::string& name, const std::string& body)
    {
        const std::string path = dir.file(name);
        writeFile(path, "#!/bin/sh\n" + body);
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    AlertInfo alert(const QString& key, int count)
    {
        AlertInfo a;
        a.key = key;
        a.words = QStringLiteral("山地 车");
        a.watchUrl = QStringLiteral("http://127.0.0.1:9/search?q=") + key;
        a.count = count;
        for (int i = 0; i < count; ++i) {
            a.items.push_back({QString::number(700 + i), QStringLiteral("车 \"%1\"").arg(i)});
        }
        return a;
    }

    void track(AlertCommand& command)
    {
        QObject::connect(&command, &AlertCommand::finished, [this] { ++finished; });
        QObject::connect(&command, &AlertCommand::failed,
                         [this](const QString& text) { failures.append(text); });
    }

    TempDir dir;
    int finished = 0;
    QStringList failures;
};

TEST_F(AlertCommandTest, eachAlertReachesTheCommandAsJsonWithoutAShell)
{
    fs::create_directory(dir.file("out dir"));
    const std::string writer =
        script("writer", "cat > \"$1/$$.json\"\nprintf '%s' \"$2\" > \"$1/arg\"\necho sent\n");
    AlertCommand command;
    track(command);
    command.setItemHost(QStringLiteral("127.0.0.1:8080"));
    command.setCommand(QString::fromStdString(writer + " \"" + dir.file("out dir") + "\" $HOME"));

    int ended = 0;
    AlertInfo late = alert(QStringLiteral("lamp"), 1);
    late.catchup = true;
    late.dropped = 2;
    EXPECT_TRUE(command.run(alert(QStringLiteral("bike"), 2), [&] { ++ended; }));
    EXPECT_TRUE(command.run(late, [&] { ++ended; }));
    ASSERT_TRUE(waitUntil([&] { return finished == 2; }));
    EXPECT_EQ(ended, 2);
    EXPECT_TRUE(failures.isEmpty()) << failures.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(command.last().ok());
    EXPECT_EQ(command.last().output, QByteArray("sent\n")) << command.last().output.toStdString();
    EXPECT_EQ(readFile(dir.file("out dir/arg")), "$HOME") << "no expansion";

    std::map<QString, QJsonObject> byKey;
    for (const auto& entry : fs::directory_iterator(dir.file("out dir"))) {
        if (entry.path().extension() == ".json") {
            const QJsonObject o =
                QJsonDocument::fromJson(QByteArray::fromStdString(readFile(entry.path()))).object();
            byKey[o.value(QStringLiteral("key")).toString()] = o;
        }
    }
    ASSERT_EQ(byKey.size(), 2u);
    const QJsonObject& bike = byKey[QStringLiteral("bike")];
    EXPECT_EQ(bike.value(QStringLiteral("words")).toString(), QStringLiteral("山地 车"));
    EXPECT_EQ(bike.value(QStringLiteral("url")).toString(),
              QStringLiteral("http://127.0.0.1:9/search?q=bike"));
    EXPECT_EQ(bike.value(QStringLiteral("count")).toInt(), 2);
    EXPECT_FALSE(bike.contains(QStringLiteral("catchup")) ||
                 bike.contains(QStringLiteral("dropped")));
    EXPECT_TRUE(byKey[QStringLiteral("lamp")].value(QStringLiteral("catchup")).toBool());
    EXPECT_EQ(byKey[QStringLiteral("lamp")].value(QStringLiteral("dropped")).toInt(), 2);
    const QJsonArray items = bike.value(QStringLiteral("items")).toArray();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[1].toObject().value(QStringLiteral("id")).toString(), QStringLiteral("701"));
    EXPECT_EQ(items[1].toObject().value(QStringLiteral("title")).toString(),
              QStringLiteral("车 \"1\""));
    EXPECT_EQ(items[1].toObject().value(QStringLiteral("url")).toString(),
              QStringLiteral("http://127.0.0.1:8080/item.htm?id=701"));
}

TEST_F(AlertCommandTest, hangingOrMissingCommandsAreEndedAndToldOncePerEpisode)
{
    // What the script starts is ended with it.
    const std::string hang =
        script("hang", "echo waiting for nothing\nsleep 60 &\necho $! >> \"$0.pids\"\nwait\n");
    AlertCommand command;
    track(command);
    command.setTimeout(1500ms);
    command.setCommand(QString::fromStdString(hang));

    // A burst: four run at once, the rest wait for a free place.
    for (int i = 0; i < 6; ++i) {
        command.run(alert(QStringLiteral("k%1").arg(i), 1));
    }
    EXPECT_EQ(command.running(), AlertCommand::kMaxRunning);
    EXPECT_EQ(command.waiting(), 2);
    ASSERT_TRUE(waitUntil([&] { return finished == 6; }));
    EXPECT_EQ(command.running(), 0);
    std::istringstream pids(readFile(hang + ".pids"));
    int sleepers = 0;
    for (int pid; pids >> pid; ++sleepers) {
        // Gone, or a zombie where nothing reaps orphans; a signal takes a
        // moment to land.
        const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
        EXPECT_TRUE(waitUntil([&] {
            const std::string text = readFile(stat);
            return text.empty() || text.find(") Z ") != std::string::npos;
        })) << readFile(stat);
    }
    EXPECT_EQ(sleepers, 6);
    EXPECT_TRUE(command.last().timedOut);
    EXPECT_EQ(command.last().output, QByteArray("waiting for nothing\n"));
    ASSERT_EQ(failures.size(), 1) << "one episode, one message";
    EXPECT_TRUE(failures[0].startsWith(QStringLiteral("提示：")));
    EXPECT_TRUE(failures[0].contains(QStringLiteral("waiting for nothing")));

    // A success ends the episode; the next failure is told again. The clock
    // starts once the input is written, so a window kept busy past the
    // time-out (the sleep) does not end a quick command.
    command.setTimeout(1000ms);
    command.setCommand(QString::fromStdString(script("fine", "cat >/dev/null\n")));
    command.run(alert(QStringLiteral("ok"), 1));
    QThread::msleep(1500);
    ASSERT_TRUE(waitUntil([&] { return finished == 7; }));
    EXPECT_TRUE(command.last().ok()) << command.last().timedOut;
    command.setTimeout(AlertCommand::kDefaultTimeout);
    command.setCommand(QString::fromStdString(script("fails", "echo no route >&2\nexit 3\n")));
    command.run(alert(QStringLiteral("x"), 1));
    ASSERT_TRUE(waitUntil([&] { return finished == 8; }));
    EXPECT_EQ(command.last().exitCode, 3);
    ASSERT_EQ(failures.size(), 2);
    EXPECT_EQ(failures[1], QStringLiteral("提示：提醒命令失败，退出码 3：no route"));

    command.setCommand(QStringLiteral("\"") + QString::fromStdString(dir.file("not there")) +
                       QStringLiteral("\" -x"));
    command.run(alert(QStringLiteral("y"), 1));
    ASSERT_TRUE(waitUntil([&] { return finished == 9; }));
    EXPECT_FALSE(command.last().started);
    ASSERT_EQ(failures.size(), 3) << "a new command starts a new episode";
    EXPECT_TRUE(failures[2].startsWith(QStringLiteral("提示：提醒命令 ") +
                                       QString::fromStdString(dir.file("not there")) +
                                       QStringLiteral(" 无法启动")))
        << failures[2].toStdString();

    // Empty: nothing is started.
    command.setCommand(QString());
    EXPECT_FALSE(command.run(alert(QStringLiteral("z"), 1)));
    EXPECT_EQ(command.running(), 0);
}

// What a command leaves in its group ends when it exits, and what runs when
// the program closes ends with it; one of each ignores SIGTERM.
TEST_F(AlertCommandTest, aCommandsGroupEndsWhenItExitsAndWhenTheProgramCloses)
{
    const std::string leaves = script("leaves", "echo $$ > \"$0.group\"\n"
                                                "sleep 30 &\necho $! >> \"$0.pids\"\n"
                                                "(trap '' TERM; exec sleep 30) &\n"
                                                "echo $! >> \"$0.pids\"\necho started two\n");
    {
        AlertCommand command;
        track(command);
        command.setCommand(QString::fromStdString(leaves));
        command.run(alert(QStringLiteral("k"), 1));
        ASSERT_TRUE(waitUntil([&] { return finished == 1; }));
        EXPECT_TRUE(command.last().ok()) << command.last().output.toStdString();
        const auto group = static_cast<pid_t>(std::stoi(readFile(leaves + ".group")));
        const std::vector<pid_t> members = pidsIn(leaves + ".pids");
        ASSERT_EQ(members.size(), 2u);
        EXPECT_TRUE(waitUntil([&] { return groupGone(group, members); }));
    }

    const std::string busy = script("busy", "echo $$ > \"$0.group\"\n"
                                            "(trap '' TERM; exec sleep 30) &\n"
                                            "echo $! >> \"$0.pids\"\nwait\n");
    std::vector<pid_t> members;
    {
        AlertCommand command;
        command.setCommand(QString::fromStdString(busy));
        command.run(alert(QStringLiteral("k"), 1));
        ASSERT_TRUE(waitUntil([&] {
            members = pidsIn(busy + ".pids");
            return !members.empty();
        }));
    }
    const auto group = static_cast<pid_t>(std::stoi(readFile(busy + ".group")));
    EXPECT_TRUE(waitUntil([&] { return groupGone(group, members); }));
}

} // namespace
} // namespace tw
