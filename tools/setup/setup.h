#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tw {

// Puts into dir what the program needs beside it, each file only when it is
// missing: sys.mdb (an empty item database), alert.wav and tidewatch.ini with
// the default settings. Makes dir when it does not exist. Writes one line per
// file it made to out and the reason of a failure to err; returns the exit
// status (0 when everything is in place).
int runSetup(const std::string& dir, std::ostream& out, std::ostream& err);

// tw-setup's command line, without the program's name: one dir ("--" before
// one that starts with "-"), or --help for the usage on out (status 0). Any
// other option or count is the usage on err, status 2, and makes nothing.
int setupMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace tw
