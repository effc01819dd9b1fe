#include "desktop/instanceguard.h"
#include "tests/support/eventloop.h"
#include "tests/support/childprocess.h"
#include "tests/support/tempdir.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLockFile>
#include <QThread>

namespace tw {
namespace {

using test::TempDir;

// The replies and signals arrive as events of this thread.
const auto waitUntil = [](const std::function<bool()>& pred) {
    return test::processEventsUntil(pred);
};

class InstanceGuardTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        test::ensureCoreApplication();
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
    EXPECT_NE(InstanceGuard::serverName(folder(a)), InstanceGuard::serverName(folder(b)));
    // The same folder by another path is the same folder.
    EXPECT_EQ(InstanceGuard::serverName(folder(a)),
              InstanceGuard::serverName(folder(a) + QStringLiteral("../") +
                                        QFileInfo(folder(a)).dir().dirName() +
                                        QStringLiteral("/")));
}

TEST_F(InstanceGuardTest, whatACrashedHolderLeftBehindDoesNotBlockTheNextLaunch)
{
    TempDir dir;
    const QString path = folder(dir);
    // The holder takes the lock, listens, and dies without cleaning up.
    const test::ChildResult crashed = test::runInChild([&] {
        auto* lock = new QLockFile(InstanceGuard(path).lockPath());
        auto* server = new QLocalServer;
        const bool ok = lock->tryLock(0) && server->listen(InstanceGuard::serverName(path));
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

} // namespace
} // namespace tw
