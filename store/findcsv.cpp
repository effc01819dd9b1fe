#include "store/findcsv.h"

#include <ctime>

namespace tw {

namespace {

std::string localTime(const std::optional<std::chrono::sys_seconds>& at)
{
    if (!at) {
        return {};
    }
    const std::time_t t = std::chrono::system_clock::to_time_t(*at);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) {
        return {};
    }
    char text[32];
    return std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) ? std::string(text)
                                                                       : std::string();
}

} // namespace

std::string csvField(std::string_view text, bool guardFormula)
{
    std::string field;
    if (guardFormula && !text.empty() &&
        (text.front() == '=' || text.front() == '+' || text.front() == '-' ||
         text.front() == '@')) {
        field = "'";
    }
    field += text;
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (const char c : field) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string findsCsv(const std::vector<FindRecord>& finds,
                     const std::function<std::string(const FindRecord&)>& watchName)
{
    std::string csv = "\xEF\xBB\xBFtime,watch,url,key,id,title,kind\r\n";
    for (const FindRecord& f : finds) {
        // The free texts a page or a person wrote are guarded, so that a
        // spreadsheet shows them instead of running them.
        csv += csvField(localTime(f.found)) + ',' + csvField(watchName(f), true) + ',' +
               csvField(f.url) + ',' + csvField(f.sid, true) + ',' + csvField(f.bbid) + ',' +
               csvField(f.title, true) + ',' + csvField(f.kind) + "\r\n";
    }
    return csv;
}

} // namespace tw
