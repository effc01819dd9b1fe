#include "app/commandline.h"
#include "app/csvexport.h"
#include "app/watchapp.h"
#include "core/apppaths.h"
#include "desktop/instanceguard.h"

#include <iostream>

#include <QStringList>

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
    case tw::CommandLine::Action::ExportCsv:
        // No hand-over: it only reads, beside a program that may be running.
        if (const std::string problem = tw::exportFindsCsv(tw::AppPaths::programFolder(),
                                                           options.exportFile, options.since);
            !problem.empty()) {
            std::cerr << "tidewatch: " << problem << "\n";
            return 1;
        }
        return 0;
    case tw::CommandLine::Action::Run:
        break;
    }

    // One program per folder, settled before any display, window or file:
    // a second one would write the same watch list and settings at close.
    tw::InstanceGuard guard(QString::fromStdString(tw::AppPaths::programFolder()));
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args.append(QString::fromLocal8Bit(argv[i]));
    }
    switch (guard.claim(args)) {
    case tw::InstanceGuard::Claim::HandedOver:
        return 0;
    case tw::InstanceGuard::Claim::NoAnswer:
        std::cerr << "tidewatch: " << guard.error().toStdString() << "\n";
        return 1;
    case tw::InstanceGuard::Claim::Unguarded:
        std::cerr << "tidewatch: " << guard.error().toStdString()
                  << "; a second program in this folder is not kept out\n";
        break;
    case tw::InstanceGuard::Claim::Owner:
        break;
    }

    tw::CWatchApp app(argc, argv, options);
    return app.run(&guard);
}
