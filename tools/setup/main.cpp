// tw-setup <dir>: puts the database, the alarm and the settings that Tidewatch
// needs into dir, leaving every file that is already there alone.
#include "tools/setup/setup.h"

#include <iostream>
#include <string_view>

int main(int argc, char** argv)
{
    if (argc != 2 || std::string_view(argv[1]).empty()) {
        std::cerr << "usage: tw-setup <dir>\n";
        return 2;
    }
    return tw::runSetup(argv[1], std::cout, std::cerr);
}
