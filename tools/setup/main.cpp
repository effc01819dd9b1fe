// tw-setup <dir>: puts the database, the alarm and the settings that Tidewatch
// needs into dir, leaving every file that is already there alone.
#include "tools/setup/setup.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    return tw::setupMain(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
