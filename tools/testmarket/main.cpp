// tw-testmarket: the local marketplace for trying Tidewatch by hand.
#include "tools/testmarket/testmarket.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

void usage()
{
    std::puts("usage: tw-testmarket [--port N] [--new-every SECONDS]\n"
              "Serves search-result pages on 127.0.0.1 until Ctrl-C.\n"
              "  --port N             port to listen on (default 8765, 0 for any free one)\n"
              "  --new-every SECONDS  list a new item under the first key this often\n"
              "                       (default 60, 0 for never)");
}

bool readNumber(const char* text, int& value)
{
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < 0 || n > 65535) {
        return false;
    }
    value = static_cast<int>(n);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int port = 8765;
    int newEvery = 60;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--port") == 0 && hasValue && readNumber(argv[i + 1], port)) {
            ++i;
        } else if (std::strcmp(argv[i], "--new-every") == 0 && hasValue &&
                   readNumber(argv[i + 1], newEvery)) {
            ++i;
        } else {
            usage();
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }

    // Block the stop signals before the server starts its threads, so that
    // only sigtimedwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const struct
    {
        const char* key;
        int count;
        long long firstId;
        const char* title;
    } demos[] = {
        {"camera", 95, 700000000001LL, "二手相机 九成新"},
        {"bike", 330, 710000000001LL, "山地自行车 27速"},
        {"手机", 12, 720000000001LL, "全新手机 未拆封"},
        {"empty", 0, 0, ""},
    };

    using Kind = tw::test::MarketFault::Kind;
    const struct
    {
        const char* key;
        tw::test::MarketFault fault;
    } hostile[] = {
        {"endless", {.kind = Kind::Endless}},
        {"drip", {.kind = Kind::Drip, .stallMs = 2000}},
        {"bomb", {.kind = Kind::GzipBomb}},
        {"garbage", {.kind = Kind::Binary}},
        {"loop", {.kind = Kind::Redirect, .target = "/loop"}},
        {"elsewhere", {.kind = Kind::Redirect, .target = "file:///etc/passwd"}},
    };

    tw::test::TestMarket market;
    for (const auto& demo : demos) {
        market.setItems(demo.key,
                        tw::test::TestMarket::makeItems(demo.count, demo.firstId, demo.title));
    }
    for (const auto& h : hostile) {
        market.setFault(h.key, h.fault);
    }
    if (!market.start(port)) {
        std::fprintf(stderr, "tw-testmarket: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::printf("Test marketplace on %s. Put these lines in _items.txt:\n",
                market.baseUrl().c_str());
    for (const auto& demo : demos) {
        std::printf("%s\n", market.searchUrl(demo.key).c_str());
    }
    std::printf(
        "Hostile answers: each check of these fails or finds nothing, and the run goes on:\n");
    for (const auto& h : hostile) {
        std::printf("%s\n", market.searchUrl(h.key).c_str());
    }
    std::printf("Set itemhost=127.0.0.1:%d to open new items here.\n", market.port());
    if (newEvery > 0) {
        std::printf("A new \"%s\" item appears every %d s. Ctrl-C stops.\n", demos[0].key,
                    newEvery);
    } else {
        std::printf("Ctrl-C stops.\n");
    }
    std::fflush(stdout);

    long long nextId = 790000000001LL;
    int waited = 0;
    while (true) {
        timespec second{1, 0};
        const int sig = sigtimedwait(&stopSignals, nullptr, &second);
        if (sig > 0) {
            break;
        }
        if (newEvery > 0 && ++waited >= newEvery) {
            waited = 0;
            const std::string id = std::to_string(nextId++);
            market.addItem(demos[0].key, {id, std::string("新上架 相机 ") + id});
            std::printf("new item %s under \"%s\"\n", id.c_str(), demos[0].key);
            std::fflush(stdout);
        }
    }
    std::printf("stopping\n");
    market.stop();
    return 0;
}
