#include "ui/qthostservices.h"
#include "windowfixture.h"

#include <filesystem>
#include <thread>

#include <QDesktopServices>
#include <QThread>
#include <QUrl>

namespace tw::test {
namespace {

// The browser: the offscreen platform opens no address.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    UrlCatcher() { QDesktopServices::setUrlHandler("http", this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("http"); }

    QStringList urls;
    bool allOnGuiThread = true;

public Q_SLOTS:
    void open(const QUrl& url)
    {
        allOnGuiThread = allOnGuiThread && QThread::currentThread() == thread();
        urls << url.toString(QUrl::FullyEncoded);
    }
};

TEST(QtHostServices, callsFromAnotherThreadReachTheGuiThread)
{
    UrlCatcher catcher;
    QtHostServices host;
    std::thread worker([&host] {
        EXPECT_TRUE(host.openUrl("http://127.0.0.1:8/item.htm?id=1"));
        host.playSound("/nonexistent/alert.wav");
        host.stopSound();
    });
    worker.join();
    ASSERT_TRUE(waitUntil([&] { return catcher.urls.size() == 1; }));
    EXPECT_EQ(catcher.urls[0], "http://127.0.0.1:8/item.htm?id=1");
    EXPECT_TRUE(catcher.allOnGuiThread);
}

using AlertWithoutSound = WindowTest;

// A missing or broken alarm file, or no sound device at all, must not keep
// the pages from opening.
TEST_F(AlertWithoutSound, pagesOpenWhateverTheSoundDoes)
{
    UrlCatcher catcher;
    openWindow({}, "[General]\nitemhost=127.0.0.1:8\n", std::make_shared<QtHostServices>());
    for (const char* alarm : {"", "not a wave file"}) {
        SCOPED_TRACE(alarm);
        std::filesystem::remove(dir.file("alert.wav"));
        if (*alarm) {
            writeFile(dir.file("alert.wav"), alarm);
        }
        catcher.urls.clear();
        dlg->raiseAlert("1,2");
        EXPECT_EQ(catcher.urls, QStringList({"http://127.0.0.1:8/item.htm?id=1",
                                             "http://127.0.0.1:8/item.htm?id=2"}));
        dlg->OnStopAlarm();
    }
}

} // namespace
} // namespace tw::test

#include "qthostservices_test.moc"
