#include "app/commandline.h"

#include <string_view>

namespace tw {

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
           "Watches marketplace search results and alerts on new listings.\n"
           "\n"
           "  --start       start a run right after the window opens\n"
           "  --minimized   start with the window hidden in the tray (tray=1), or\n"
           "                minimized where there is no tray\n"
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
