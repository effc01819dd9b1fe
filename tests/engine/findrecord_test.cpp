#include "engine/markseentask.h"
#include "tests/engine/pollworkerfixture.h"

namespace tw::test {
namespace {

// The marking's end is not the run's concern here.
struct IgnoringSink : PollSink
{
    void postMessage(PollMessage) override {}
};

// Every item stored leaves a find: the quiet first checks of two watches,
// an item reported with the clock's time and its watch, the same item
// stored but not reported under the second key with dedupe, a marking.
// Clearing the data removes them all.
TEST_F(PollThreadTest, everyStoredItemIsRecordedWithItsWatchTimeAndKind)
{
    settings.baseline = 1;
    settings.dedupe = 1;
    market.setItems("alpha", {{"100", "一"}});
    market.setItems("beta", {{"200", "二"}});
    setWatches({"alpha", "beta"});
    onEvent = [&](const PolledMessage& m) {
        if (m == baselined(1)) {
            market.addItem("alpha", {"777", "新的"});
            market.addItem("beta", {"777", "新的"});
            wallShift = 5min;
        }
    };
    stopAfterChecks(1, 2);
    run();
    EXPECT_EQ(reports, (Strings{"0:777"}));

    market.addItem("beta", {"888", "标记"});
    wallShift = 1h;
    IgnoringSink sink;
    MarkSeenParams marking{
        sink, db, core, idOf(market.searchUrl("beta")), 1, market.searchUrl("beta"), "beta"};
    marking.pageFile = paths.pageFile;
    marking.titlesFile = paths.titlesFile;
    marking.session = session;
    marking.clock = this;
    CMarkSeenTask task(std::move(marking));
    ASSERT_TRUE(task.start());
    task.join();
    ASSERT_TRUE(task.succeeded()) << task.error();

    // Seconds after the clock's start (the second pass began a second after
    // the first), and the watch by its key.
    const auto start = std::chrono::floor<std::chrono::seconds>(kStart);
    Strings finds;
    for (const FindRecord& f : db.finds()) {
        const std::string watch = f.url == market.searchUrl("alpha")  ? "alpha"
                                  : f.url == market.searchUrl("beta") ? "beta"
                                                                      : f.url;
        finds.push_back(f.kind + " " + f.sid + "/" + f.bbid + " " + f.title + " by " + watch +
                        " +" + std::to_string((*f.found - start).count()));
    }
    EXPECT_EQ(finds, (Strings{
                         "marked beta/888 标记 by beta +3601",
                         "dedupe beta/777 新的 by beta +301",
                         "new alpha/777 新的 by alpha +301",
                         "baseline beta/200 二 by beta +0",
                         "baseline alpha/100 一 by alpha +0",
                     }));

    db.deleteAllItems();
    EXPECT_TRUE(db.finds().empty());
}

} // namespace
} // namespace tw::test
