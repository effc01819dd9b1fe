#pragma once

#include "app/commandline.h"

#include <memory>

class QApplication;

namespace tw {

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

private:
    CommandLine m_options;
    std::unique_ptr<QApplication> m_qapp;
};

} // namespace tw
