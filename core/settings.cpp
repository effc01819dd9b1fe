#include "core/settings.h"

#include <algorithm>

namespace tw {
namespace {

constexpr bool parseDefault(std::string_view text, long long& value)
{
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 10) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    value = negative ? -value : value;
    return true;
}

// A wrong declaration would only show as a wrong value at run time.
constexpr bool declarationsHold()
{
    for (std::size_t i = 0; i < std::size(kSettings); ++i) {
        const SettingDef& def = kSettings[i];
        for (std::size_t j = 0; j < i; ++j) {
            if (kSettings[j].key == def.key) {
                return false;
            }
        }
        if (def.kind == SettingKind::Text) {
            if (def.text == nullptr || def.number != nullptr) {
                return false;
            }
            continue;
        }
        long long value = 0;
        if (def.number == nullptr || def.text != nullptr || def.range.min > def.range.max ||
            !parseDefault(def.defaultValue, value) || value < def.range.min ||
            value > def.range.max || def.meaning.empty()) {
            return false;
        }
    }
    return true;
}
static_assert(declarationsHold(), "kSettings: a key twice, a default out of its range, or a "
                                  "field that does not fit the kind");

std::string rangeText(SettingRange range)
{
    if (range.max == kIntMax) {
        return "至少 " + std::to_string(range.min);
    }
    return std::to_string(range.min) + " 到 " + std::to_string(range.max);
}

} // namespace

std::string_view groupName(SettingGroup group)
{
    switch (group) {
    case SettingGroup::Detection:
        return "检测";
    case SettingGroup::Alerts:
        return "提醒";
    case SettingGroup::Network:
        return "网络";
    case SettingGroup::Desktop:
        return "桌面";
    }
    return {};
}

const SettingDef* findSetting(std::string_view key)
{
    for (const SettingDef& def : kSettings) {
        if (def.key == key) {
            return &def;
        }
    }
    return nullptr;
}

RangeCheck checkRange(const SettingDef& def, int value)
{
    if (value >= def.range.min && value <= def.range.max) {
        return {value, {}};
    }
    std::string problem = "提示：设置 " + std::string(def.key) + "=" + std::to_string(value) +
                          " 超出范围（" + rangeText(def.range) + "）";
    if (def.outOfRange == OutOfRange::Kept) {
        return {value, problem};
    }
    // A flag has always read as set for any number but 0.
    const int used =
        def.kind == SettingKind::Flag ? 1 : std::clamp(value, def.range.min, def.range.max);
    return {used, problem + "，按 " + std::to_string(used) + " 处理"};
}

} // namespace tw
