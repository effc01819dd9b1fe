#pragma once

#include "app/commandline.h"

#include <memory>
#include <string>

class QApplication;

namespace tw {

class HostServices;

// The application object: owns the QApplication, runs the main window
// modally and ends when it closes.
class CWatchApp
{
public:
    CWatchApp(int& argc, char** argv, CommandLine options);
    ~CWatchApp();
    CWatchApp(const CWatchApp&) = delete;
    CWatchApp& operator=(const CWatchApp&) = delete;

    // The process exit status: 0 however the window was closed.
    int run();

    // The main window from set-up to close, under an existing QApplication.
    // SIGTERM, SIGINT and SIGHUP close it as its close box does, at any
    // moment: a signal during set-up (a box may be open) ends the program
    // right after it, without showing the window or starting a run.
    static int runWindow(std::shared_ptr<HostServices> host, const CommandLine& options,
                         std::string appDir = {});

private:
    CommandLine m_options;
    std::unique_ptr<QApplication> m_qapp;
};

} // namespace tw
