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

std::string CommandLine::helpText()
{
    return "Usage: tidewatch [--start]\n"
           "Watches marketplace search results and alerts on new listings.\n"
           "\n"
           "  --start     start a run right after the window opens\n"
           "  --help      show this text and exit\n"
           "  --version   show the version and exit\n"
           "\n"
           "The watch list (_items.txt), the item database (sys.mdb), the alarm\n"
           "(alert.wav) and the settings (tidewatch.ini) live beside the program.\n";
}

std::string CommandLine::versionText()
{
    return "tidewatch " TIDEWATCH_VERSION "\n";
}

} // namespace tw
