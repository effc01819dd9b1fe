#include "desktop/instanceguard.h"
#include "tests/support/eventloop.h"
#include "tests/support/childprocess.h"
#include "tests/support/tempdir.h"

#include <csignal>
#include <cstddef>
#include <cstring>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLockFile>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>

namespace tw {
namespace {

using test::TempDir;

// The replies and signals arrive as events of this thread.
const auto waitUntil = [](const std::function<bool()>& pred) {
    return test::processEventsUntil(pred);
};

// Sets or unsets an environment variable for one scope.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, std::optional<QByteArray> value) : m_name(name)
    {
        if (qEnvironmentVariableIsSet(name)) {
            m_old = qgetenv(name);
        }
        set(value);
    }
    ~ScopedEnv() { set(m_old); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<QByteArray>& value)
    {
        if (value) {
            qputenv(m_name, *value);
        } else {
            qunsetenv(m_name);
        }
    }

    const char* m_name;
    std::optional<QByteArray> m_old;
};

class InstanceGuardTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        test::ensureCoreApplication();
    }

    // A private runtime directory of this test's own (mkdtemp makes it 0700),
    // whatever the machine running the tests has.
    void SetUp() override { m_runtimeEnv.emplace("XDG_RUNTIME_DIR", m_runtimeDir.path().c_str()); }
    void TearDown() override { m_runtimeEnv.reset(); }

    // $XDG_RUNTIME_DIR for a test of either kind of address.
    std::optional<QByteArray> runtimeDirUnless(bool abstract) const
    {
        return abstract ? std::nullopt : std::optional(QByteArray(m_runtimeDir.path().c_str()));
    }

    // A later launch runs on a thread of its own, since the holder answers
    // through this thread's event loop.
    InstanceGuard::Claim launch(const QString& folder, const QStringList& args)
    {
        InstanceGuard::Claim result{};
        std::unique_ptr<QThread> thread(QThread::create([&] {
            InstanceGuard later(folder);
            result = later.claim(args);
        }));
        thread->start();
        EXPECT_TRUE(waitUntil([&] { return thread->isFinished(); }));
        thread->wait();
        return result;
    }

    static QString folder(const TempDir& dir) { return QString::fromStdString(dir.path()); }

    TempDir m_runtimeDir;
    std::optional<ScopedEnv> m_runtimeEnv;
};

TEST_F(InstanceGuardTest, aLaterLaunchHandsItsCommandLineToTheHolderOfItsFolderOnly)
{
    TempDir a;
    TempDir b;
    InstanceGuard first(folder(a));
    ASSERT_EQ(first.claim({}), InstanceGuard::Claim::Owner);

    // Holding the lock but not yet answering: a launch waits, then gives up.
    InstanceGuard early(folder(a));
    EXPECT_EQ(early.claim({QStringLiteral("--start")}, 300), InstanceGuard::Claim::NoAnswer);
    EXPECT_FALSE(early.error().isEmpty());

    ASSERT_TRUE(first.listen()) << first.error().toStdString();
    std::vector<QStringList> received;
    QObject::connect(&first, &InstanceGuard::commandReceived,
                     [&](const QStringList& args) { received.push_back(args); });
    const QStringList args{QStringLiteral("--start"), QStringLiteral("-platform"),
                           QStringLiteral("xcb"), QStringLiteral("带 空格")};
    EXPECT_EQ(launch(folder(a), args), InstanceGuard::Claim::HandedOver);
    ASSERT_TRUE(waitUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0], args);
    EXPECT_EQ(launch(folder(a), {}), InstanceGuard::Claim::HandedOver);
    ASSERT_TRUE(waitUntil([&] { return received.size() == 2; }));
    EXPECT_TRUE(received[1].isEmpty());

    // Another folder runs side by side.
    InstanceGuard other(folder(b));
    ASSERT_EQ(other.claim({}), InstanceGuard::Claim::Owner);
    ASSERT_TRUE(other.listen());
    EXPECT_NE(InstanceGuard::address(folder(a)).name, InstanceGuard::address(folder(b)).name);
    // The same folder by another path is the same folder.
    EXPECT_EQ(InstanceGuard::address(folder(a)).name,
              InstanceGuard::address(folder(a) + QStringLiteral("../") +
                                     QFileInfo(folder(a)).dir().dirName() + QStringLiteral("/"))
                  .name);
}

TEST_F(InstanceGuardTest, whatACrashedHolderLeftBehindDoesNotBlockTheNextLaunch)
{
    TempDir dir;
    const QString path = folder(dir);
    // The holder takes the lock, listens, and dies without cleaning up.
    const test::ChildResult crashed = test::runInChild([&] {
        auto* lock = new QLockFile(InstanceGuard(path).lockPath());
        auto* server = new QLocalServer;
        const bool ok = lock->tryLock(0) && server->listen(InstanceGuard::address(path).name);
        return std::string(ok ? "held" : "failed");
    });
    ASSERT_TRUE(crashed.finished);
    ASSERT_EQ(crashed.output, "held");
    ASSERT_TRUE(QFile::exists(InstanceGuard(path).lockPath()));

    InstanceGuard next(path);
    ASSERT_EQ(next.claim({}), InstanceGuard::Claim::Owner) << next.error().toStdString();
    ASSERT_TRUE(next.listen()) << next.error().toStdString();
    std::vector<QStringList> received;
    QObject::connect(&next, &InstanceGuard::commandReceived,
                     [&](const QStringList& args) { received.push_back(args); });
    EXPECT_EQ(launch(path, {QStringLiteral("--start")}), InstanceGuard::Claim::HandedOver);
    EXPECT_TRUE(waitUntil([&] { return received.size() == 1; }));
}

TEST_F(InstanceGuardTest, launchesWithDifferentTmpdirsMeetWithOrWithoutARuntimeDirectory)
{
    TempDir tmpOfHolder;
    TempDir tmpOfLaunch;
    for (const bool abstract : {false, true}) {
        SCOPED_TRACE(abstract ? "abstract name" : "socket in XDG_RUNTIME_DIR");
        TempDir dir;
        const ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDirUnless(abstract));
        const InstanceGuard::Address at = InstanceGuard::address(folder(dir));
        EXPECT_EQ(at.abstract, abstract);
        if (!abstract) {
            EXPECT_TRUE(at.name.startsWith(QString::fromStdString(m_runtimeDir.path())));
        }

        InstanceGuard holder(folder(dir));
        {
            const ScopedEnv tmp("TMPDIR", tmpOfHolder.path().c_str());
            ASSERT_EQ(holder.claim({}), InstanceGuard::Claim::Owner);
            ASSERT_TRUE(holder.listen()) << holder.error().toStdString();
        }
        std::vector<QStringList> received;
        QObject::connect(&holder, &InstanceGuard::commandReceived, &holder,
                         [&](const QStringList& args) { received.push_back(args); });
        const ScopedEnv tmp("TMPDIR", tmpOfLaunch.path().c_str());
        EXPECT_EQ(launch(folder(dir), {QStringLiteral("--start")}),
                  InstanceGuard::Claim::HandedOver);
        ASSERT_TRUE(waitUntil([&] { return received.size() == 1; }));
        EXPECT_EQ(received[0], QStringList{QStringLiteral("--start")});
    }
}

TEST_F(InstanceGuardTest, anAbstractNameTakesNothingFromAnotherUser)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "becoming another user needs root";
    }
    TempDir dir;
    const ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    InstanceGuard holder(folder(dir));
    ASSERT_EQ(holder.claim({}), InstanceGuard::Claim::Owner);
    ASSERT_TRUE(holder.listen()) << holder.error().toStdString();
    std::vector<QStringList> received;
    QObject::connect(&holder, &InstanceGuard::commandReceived, &holder,
                     [&](const QStringList& args) { received.push_back(args); });

    // User nobody hands over a command line and waits for the answer: exit
    // status 0 when the holder closed without a word, 1 when it answered.
    const QByteArray name = InstanceGuard::address(folder(dir)).name.toUtf8();
    const QByteArray message = QByteArrayLiteral("{\"args\":[\"--start\"]}\n");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(2);
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name.constData(), static_cast<size_t>(name.size()));
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), size) != 0) {
            ::_exit(3);
        }
        ::send(fd, message.constData(), static_cast<size_t>(message.size()), MSG_NOSIGNAL);
        char answer = 0;
        ::_exit(::recv(fd, &answer, 1, 0) > 0 ? 1 : 0);
    }
    int status = 0;
    const bool ended = waitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; });
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(received.empty());

    // The holder still answers its own user.
    EXPECT_EQ(launch(folder(dir), {}), InstanceGuard::Claim::HandedOver);
    EXPECT_TRUE(waitUntil([&] { return received.size() == 1; }));
}

TEST_F(InstanceGuardTest, aLockWhosePidNowRunsAnotherProgramDoesNotBlockTheClaim)
{
    TempDir dir;
    const QString path = folder(dir);
    // As QLockFile writes it: pid, the program's file name, host, machine, boot.
    const auto writeLock = [&](qint64 pid) {
        QFile lock(InstanceGuard(path).lockPath());
        ASSERT_TRUE(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
        lock.write(QByteArray::number(pid) + '\n' +
                   QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() + '\n' +
                   QSysInfo::machineHostName().toUtf8() + '\n' + QSysInfo::machineUniqueId() +
                   '\n' + QSysInfo::bootUniqueId() + '\n');
    };

    // A lock naming a live process of this program is held.
    writeLock(QCoreApplication::applicationPid());
    {
        InstanceGuard guard(path);
        EXPECT_EQ(guard.claim({}, 300), InstanceGuard::Claim::NoAnswer);
    }

    // The crashed holder's pid now runs sleep, or a sleep under this program's
    // own file name, which QLockFile alone takes for this program.
    const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
    ASSERT_FALSE(sleep.isEmpty());
    TempDir bin;
    const QString namesake = QString::fromStdString(bin.path()) +
                             QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    ASSERT_TRUE(QFile::copy(sleep, namesake));
    for (const QString& program : {sleep, namesake}) {
        SCOPED_TRACE(program.toStdString());
        QProcess other;
        other.start(program, {QStringLiteral("30")});
        ASSERT_TRUE(other.waitForStarted());
        writeLock(other.processId());

        InstanceGuard guard(path);
        EXPECT_EQ(guard.claim({}, 300), InstanceGuard::Claim::Owner) << guard.error().toStdString();
        QLockFile lock(guard.lockPath());
        qint64 pid = 0;
        QString host;
        QString app;
        EXPECT_TRUE(lock.getLockInfo(&pid, &host, &app));
        EXPECT_EQ(pid, QCoreApplication::applicationPid());
        other.kill();
        other.waitForFinished();
    }
}

TEST_F(InstanceGuardTest, aSocketItCannotListenOnIsReported)
{
    for (const bool abstract : {false, true}) {
        SCOPED_TRACE(abstract ? "abstract name" : "socket in XDG_RUNTIME_DIR");
        TempDir dir;
        const ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDirUnless(abstract));
        const InstanceGuard::Address at = InstanceGuard::address(folder(dir));
        // In the way: a directory where the socket goes, which is not removed as
        // a stale socket would be, or another listener on the abstract name.
        QLocalServer squatter;
        if (abstract) {
            squatter.setSocketOptions(QLocalServer::AbstractNamespaceOption);
            ASSERT_TRUE(squatter.listen(at.name));
        } else {
            ASSERT_TRUE(QDir().mkdir(at.name));
        }

        InstanceGuard holder(folder(dir));
        QString reported;
        QObject::connect(&holder, &InstanceGuard::listenFailed, &holder,
                         [&](const QString& reason) { reported = reason; });
        ASSERT_EQ(holder.claim({}), InstanceGuard::Claim::Owner);
        EXPECT_FALSE(holder.listen());
        EXPECT_TRUE(holder.listenError().contains(at.name)) << holder.listenError().toStdString();
        EXPECT_EQ(reported, holder.listenError());
    }
}

} // namespace
} // namespace tw
