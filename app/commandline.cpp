#include "app/commandline.h"

#include <chrono>
#include <string_view>

namespace tw {

namespace {

bool isDate(std::string_view text)
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return false;
    }
    for (const std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    const auto number = [&](std::size_t at, std::size_t n) {
        return std::stoi(std::string(text.substr(at, n)));
    };
    const std::chrono::year_month_day day{std::chrono::year(number(0, 4)),
                                          std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                          std::chrono::day(static_cast<unsigned>(number(8, 2)))};
    return day.ok();
}

} // namespace

CommandLine CommandLine::parse(int argc, const char* const* argv)
{
    CommandLine cl;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            cl.action = Action::Help;
            return cl;
        }
        if (arg == "--version" || arg == "-v") {
            cl.action = Action::Version;
            return cl;
        }
        if (arg == "--start") {
            cl.start = true;
            continue;
        }
        if (arg == "--minimized") {
            cl.minimized = true;
            continue;
        }
        if (arg == "--export-csv" || arg == "--since") {
            if (i + 1 >= argc || std::string_view(argv[i + 1]).empty()) {
                cl.action = Action::Error;
                cl.error = std::string(arg) + " needs a value";
                return cl;
            }
            const std::string value = argv[++i];
            if (arg == "--since" && !isDate(value)) {
                cl.action = Action::Error;
                cl.error = "--since takes a date as YYYY-MM-DD: " + value;
                return cl;
            }
            (arg == "--since" ? cl.since : cl.exportFile) = value;
            continue;
        }
        // Qt's own single-dash options (-platform xcb, -reverse, ...) are
        // left to the QApplication.
        if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
            if (arg == "-platform" || arg == "-display" || arg == "-style" ||
                arg == "-qwindowgeometry" || arg == "-geometry" || arg == "-platformtheme") {
                ++i;
            }
            continue;
        }
        cl.action = Action::Error;
        cl.error = "unknown option: " + std::string(arg);
        return cl;
    }
    if (!cl.exportFile.empty()) {
        cl.action = Action::ExportCsv;
    } else if (!cl.since.empty()) {
        cl.action = Action::Error;
        cl.error = "--since goes with --export-csv";
    }
    return cl;
}

CommandLine CommandLine::parse(const std::vector<std::string>& args)
{
    std::vector<const char*> argv{"tidewatch"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    return parse(static_cast<int>(argv.size()), argv.data());
}

std::string CommandLine::helpText()
{
    return "Usage: tidewatch [--start] [--minimized]\n"
           "       tidewatch --export-csv FILE [--since YYYY-MM-DD]\n"
           "Watches marketplace search results and alerts on new listings.\n"
           "\n"
           "  --start       start a run right after the window opens\n"
           "  --minimized   start with the window hidden in the tray (tray=1), or\n"
           "                minimized where there is no tray\n"
           "  --export-csv FILE\n"
           "                write the record of finds (from that day on with --since)\n"
           "                to FILE as CSV and exit; works beside a running program\n"
           "  --help        show this text and exit\n"
           "  --version     show the version and exit\n"
           "\n"
           "The watch list (_items.txt), the item database (sys.mdb), the alarm\n"
           "(alert.wav) and the settings (tidewatch.ini) live beside the program.\n"
           "One program runs per folder: a second launch hands its options to the\n"
           "running one (--start starts a run there; otherwise its window is shown)\n"
           "and exits.\n";
}

std::string CommandLine::versionText()
{
    return "tidewatch " TIDEWATCH_VERSION "\n";
}

} // namespace tw
