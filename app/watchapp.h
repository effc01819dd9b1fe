#pragma once

#include "app/commandline.h"

#include <memory>
#include <string>

class QApplication;

namespace tw {

class HostServices;
class InstanceGuard;

// The application object: owns the QApplication, runs the main window
// modally and ends when it closes.
class CWatchApp
{
public:
    CWatchApp(int& argc, char** argv, CommandLine options);
    ~CWatchApp();
    CWatchApp(const CWatchApp&) = delete;
    CWatchApp& operator=(const CWatchApp&) = delete;

    // The process exit status: 0 however the window was closed. guard, when
    // given, holds the program folder; later launches reach the window
    // through it.
    int run(InstanceGuard* guard = nullptr);

    // The main window from set-up to close, under an existing QApplication.
    // SIGTERM, SIGINT and SIGHUP close it as its close box does, at any
    // moment: a signal during set-up (a box may be open) ends the program
    // right after it, without showing the window or starting a run.
    // A later launch's --start starts a run when none is active; any other
    // hand-over shows and raises the window.
    static int runWindow(std::shared_ptr<HostServices> host, const CommandLine& options,
                         std::string appDir = {}, InstanceGuard* guard = nullptr);

private:
    CommandLine m_options;
    std::unique_ptr<QApplication> m_qapp;
};

} // namespace tw
