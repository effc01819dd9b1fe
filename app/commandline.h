#pragma once

#include <string>

namespace tw {

// The options of the tidewatch command. Parsed before any QApplication
// exists, so --help and --version need no display.
struct CommandLine
{
    enum class Action { Run, Help, Version, Error };

    Action action = Action::Run;
    bool start = false;
    std::string error;

    static CommandLine parse(int argc, const char* const* argv);
    static std::string helpText();
    static std::string versionText();
};

} // namespace tw
