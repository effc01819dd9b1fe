#pragma once

#include <iosfwd>
#include <string>

namespace tw {

// Puts into dir what the program needs beside it, each file only when it is
// missing: sys.mdb (an empty item database), alert.wav and tidewatch.ini with
// the default settings. Makes dir when it does not exist. Writes one line per
// file it made to out and the reason of a failure to err; returns the exit
// status (0 when everything is in place).
int runSetup(const std::string& dir, std::ostream& out, std::ostream& err);

} // namespace tw
