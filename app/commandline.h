#pragma once

#include <string>
#include <vector>

namespace tw {

// The options of the tidewatch command. Parsed before any QApplication
// exists, so --help and --version need no display.
struct CommandLine
{
    enum class Action { Run, Help, Version, ExportCsv, Error };

    Action action = Action::Run;
    bool start = false;
    bool minimized = false;
    // --export-csv FILE [--since YYYY-MM-DD]: the record of finds as CSV.
    std::string exportFile;
    std::string since;
    std::string error;

    static CommandLine parse(int argc, const char* const* argv);
    // The arguments after the program's name, as a later launch hands them over.
    static CommandLine parse(const std::vector<std::string>& args);
    static std::string helpText();
    static std::string versionText();
};

} // namespace tw
