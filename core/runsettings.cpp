#include "core/runsettings.h"

#include "core/settings.h"
#include "core/zuvira.h"

#include <algorithm>
#include <iterator>

namespace tw {
namespace {

// Fills the fields of the keys read at `when`; returns a note for each value
// outside its range.
std::vector<std::string> readKeys(RunSettings& settings, CCore& core, SettingRead when)
{
    std::vector<std::string> problems;
    for (const SettingDef& def : kSettings) {
        if (def.read != when) {
            continue;
        }
        if (def.kind == SettingKind::Text) {
            // The command's quotes group its words (QProcess::splitCommand),
            // so reading must not take outer ones away.
            settings.*def.text = def.text == &RunSettings::onAlert ? core.getConfigRaw(def.key)
                                                                   : core.getConfigStr(def.key);
            continue;
        }
        RangeCheck checked = checkRange(def, core.getConfigInt(def.key));
        // getConfigB also takes "true", which reads as no number at all.
        settings.*def.number =
            def.kind == SettingKind::Flag ? core.getConfigB(def.key) : checked.value;
        if (!checked.problem.empty()) {
            problems.push_back(std::move(checked.problem));
        }
    }
    return problems;
}

} // namespace

void RunSettings::readFrom(CCore& core)
{
    std::vector<std::string> atStart = readKeys(*this, core, SettingRead::AtProgramStart);
    readRunOptions(core);
    problems.insert(problems.begin(), std::make_move_iterator(atStart.begin()),
                    std::make_move_iterator(atStart.end()));
}

void RunSettings::readRunOptions(CCore& core)
{
    // The file may have been edited by hand since the last read.
    core.reloadConfig();
    problems = readKeys(*this, core, SettingRead::AtEveryRun);
}

IntervalInput parseInterval(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t b = text.find_first_not_of(blanks);
    text = b == std::string_view::npos ? std::string_view()
                                       : text.substr(b, text.find_last_not_of(blanks) - b + 1);
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        text.remove_prefix(1);
    }
    const IntervalInput tooSmall{0, "间隔时间不能小于1秒！"};
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return tooSmall;
    }
    // Counted only as far as the limit, so that no number of digits overflows.
    long long value = 0;
    for (const char c : text) {
        value = std::min<long long>(value * 10 + (c - '0'), kMaxInterval + 1LL);
    }
    if (negative || value < 1) {
        return tooSmall;
    }
    if (value > kMaxInterval) {
        return {0, "间隔时间过大，最多 86400 秒！"};
    }
    return {static_cast<int>(value), {}};
}

} // namespace tw
