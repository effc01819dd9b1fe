#include "app/commandline.h"
#include "app/watchapp.h"

#include <iostream>

int main(int argc, char** argv)
{
    const tw::CommandLine options = tw::CommandLine::parse(argc, argv);
    switch (options.action) {
    case tw::CommandLine::Action::Help:
        std::cout << tw::CommandLine::helpText();
        return 0;
    case tw::CommandLine::Action::Version:
        std::cout << tw::CommandLine::versionText();
        return 0;
    case tw::CommandLine::Action::Error:
        std::cerr << "tidewatch: " << options.error << "\n\n" << tw::CommandLine::helpText();
        return 2;
    case tw::CommandLine::Action::Run:
        break;
    }
    tw::CWatchApp app(argc, argv, options);
    return app.run();
}
