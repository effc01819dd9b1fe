// Writes the page extraction seeds: result pages of the test marketplace in
// the fuzz target's input form, cut down to their item blocks so that each
// stays a few KB.
#include "tools/testmarket/resultpage.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using tw::test::MarketItem;

std::vector<MarketItem> items(int count, int first)
{
    std::vector<MarketItem> out;
    for (int i = 0; i < count; ++i) {
        out.push_back({std::to_string(600000000000LL + first + i),
                       i % 2 ? "二手 相机^" + std::to_string(i) : "Camera 'pro' " + std::to_string(i)});
    }
    return out;
}

// From the first item block to the end of the last one, and a short tail.
std::string blocks(const std::string& page)
{
    const std::size_t from = page.find("{\"p4pTags");
    if (from == std::string::npos) {
        return page.substr(0, 200);
    }
    const std::size_t last = page.rfind("\"shopLink");
    const std::size_t to = page.find('}', last == std::string::npos ? from : last);
    return page.substr(from, to == std::string::npos ? std::string::npos : to - from + 200);
}

void write(const std::string& dir, const std::string& name, std::string_view ignoreWords,
           const std::vector<std::string>& pages)
{
    std::string input(1, static_cast<char>(ignoreWords.size()));
    input += ignoreWords;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        input += (i > 0 ? "\x01" : "") + pages[i];
    }
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out << input;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    using tw::test::renderResultPage;
    using tw::test::truncateResultPage;
    const auto one = items(1, 0);
    const auto three = items(3, 10);
    const auto two = items(2, 20);
    write(dir, "one-item", "", {blocks(renderResultPage(one, 0, 1))});
    write(dir, "three-items", "", {blocks(renderResultPage(three, 0, 3))});
    write(dir, "ignored", "二手,pro", {blocks(renderResultPage(three, 0, 3))});
    write(dir, "two-pages", "",
          {blocks(renderResultPage(three, 0, 5)), blocks(renderResultPage(two, 40, 5)),
           blocks(renderResultPage({}, 80, 5))});
    write(dir, "repeated-ids", "",
          {blocks(renderResultPage(three, 0, 6)), blocks(renderResultPage(three, 40, 6))});
    write(dir, "cut-page", "", {blocks(truncateResultPage(renderResultPage(three, 0, 3)))});
    write(dir, "no-items", "", {renderResultPage({}, 0, 0).substr(0, 2000)});
    return 0;
}
