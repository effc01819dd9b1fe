// A signal at any moment ends the program with status 0: the window closes as
// its close box does, and one that arrives during set-up, while a box is
// open, keeps the window from opening and a run from starting.
#include "app/watchapp.h"
#include "store/schema.h"
#include "tests/support/tempdir.h"
#include "tools/testmarket/testmarket.h"
#include "ui/qthostservices.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <string>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace tw::test {
namespace {

struct SignalCase
{
    int sig;
    bool boxAtSetUp;
    friend void PrintTo(const SignalCase& c, std::ostream* os)
    {
        *os << ::strsignal(c.sig) << (c.boxAtSetUp ? " during a box" : "");
    }
};

class SignalClose : public ::testing::TestWithParam<SignalCase>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(market.start());
        market.setItems("lamp", TestMarket::makeItems(3));
        createItemDatabase(dir.file("sys.mdb"));
        writeFile(dir.file("tidewatch.ini"), "[General]\ninterval=7\n");
        std::string items = market.searchUrl("lamp") + "\n";
        if (GetParam().boxAtSetUp) {
            // Too long for its field: set-up warns about it in a box.
            items += market.searchUrl(std::string(1100, 'x')) + "\n";
        }
        writeFile(dir.file("_items.txt"), items);
    }

    TempDir dir;
    TestMarket market;
};

TEST_P(SignalClose, endsTheProgramAndSavesWhatCloseDownSaves)
{
    const SignalCase c = GetParam();
    bool boxWasOpen = false;
    int windowsShown = 0;
    // Fires in the first event loop that runs: the box's during set-up, the
    // window's otherwise.
    QTimer::singleShot(0, [&] {
        boxWasOpen = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
        ::raise(c.sig);
    });
    // After a signal during set-up the window must never be shown; one that
    // is gets closed, so that the fault fails the test instead of hanging it.
    // Without a box the window is shown, and only the signal can close it.
    QTimer watchdog;
    watchdog.setInterval(20);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QLatin1String("IDD_WATCH") && w->isVisible()) {
                ++windowsShown;
                w->close();
            }
        }
    });
    if (c.boxAtSetUp) {
        watchdog.start();
    }

    CommandLine options;
    options.start = true;
    EXPECT_EQ(CWatchApp::runWindow(std::make_shared<QtHostServices>(), options, dir.path()), 0);

    EXPECT_EQ(boxWasOpen, c.boxAtSetUp);
    if (c.boxAtSetUp) {
        EXPECT_EQ(windowsShown, 0) << "the window opened after the signal";
        EXPECT_EQ(market.requestCount(), 0u) << "a run began after the signal";
    }
    EXPECT_EQ(readFile(dir.file("_items.txt")), market.searchUrl("lamp") + "\r\n");
    EXPECT_NE(readFile(dir.file("tidewatch.ini")).find("interval=7"), std::string::npos);
    EXPECT_NE(readFile(dir.file("tidewatch.ini")).find("filtkc=0"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(EverySignal, SignalClose,
                         ::testing::Values(SignalCase{SIGTERM, false}, SignalCase{SIGTERM, true},
                                           SignalCase{SIGINT, false}, SignalCase{SIGINT, true},
                                           SignalCase{SIGHUP, false}, SignalCase{SIGHUP, true}),
                         [](const ::testing::TestParamInfo<SignalCase>& p) {
                             const char* name = p.param.sig == SIGTERM  ? "term"
                                                : p.param.sig == SIGINT ? "int"
                                                                        : "hup";
                             return std::string(name) + (p.param.boxAtSetUp ? "DuringBox" : "");
                         });

} // namespace
} // namespace tw::test
