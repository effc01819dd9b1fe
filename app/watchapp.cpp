#include "app/watchapp.h"

#include "app/program.h"
#include "app/signalcloser.h"
#include "app/translations.h"
#include "desktop/instanceguard.h"
#include "ui/qthostservices.h"
#include "ui/watchdlg.h"

#include <iostream>
#include <string>
#include <vector>

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QLocale>
#include <QPointer>
#include <QTimer>

namespace tw {

CWatchApp::CWatchApp(int& argc, char** argv, CommandLine options) : m_options(std::move(options))
{
    m_qapp = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tidewatch"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tidewatch"));
    QApplication::setApplicationVersion(QStringLiteral(TIDEWATCH_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("tidewatch"));
    loadQtTranslations(*m_qapp, QLocale::system());
}

CWatchApp::~CWatchApp() = default;

int CWatchApp::run(InstanceGuard* guard)
{
    return runWindow(std::make_shared<QtHostServices>(), m_options, {}, guard);
}

namespace {

void handOver(Program& program, const QStringList& args)
{
    std::vector<std::string> list;
    for (const QString& arg : args) {
        list.push_back(arg.toStdString());
    }
    if (program.window().closing()) {
        return;
    }
    if (CommandLine::parse(list).start && !program.isRunning()) {
        program.startStop();
        return;
    }
    program.window().bringToFront();
}

} // namespace

int CWatchApp::runWindow(std::shared_ptr<HostServices> host, const CommandLine& options,
                         std::string appDir, InstanceGuard* guard)
{
    Program program(std::move(host), std::move(appDir));
    CWatchDlg& dlg = program.window();
    QPointer<CWatchDlg> window(&dlg);

    // Later launches are answered from now on, also while a box of set-up is
    // open; what they ask waits until the window is set up.
    bool ready = false;
    std::vector<QStringList> pending;
    if (guard) {
        QObject::connect(guard, &InstanceGuard::commandReceived, &dlg,
                         [&ready, &pending, &program](const QStringList& args) {
                             if (!ready) {
                                 pending.push_back(args);
                             } else {
                                 handOver(program, args);
                             }
                         });
        if (!guard->listen() && !guard->listenError().isEmpty()) {
            std::cerr << "tidewatch: " << guard->listenError().toStdString() << "\n";
        }
    }

    // A box or dialog open over the window is dismissed first, so the close
    // is not held up; the window then closes, or never opens when set-up is
    // still under way.
    SignalCloser closer([window] {
        while (QWidget* modal = QApplication::activeModalWidget()) {
            auto* box = qobject_cast<QDialog*>(modal);
            if (!box || box == window) {
                break;
            }
            box->reject();
        }
        if (window) {
            window->closeBySignal();
        }
    });

    if (program.setUp() && !dlg.closing()) {
        ready = true;
        if (guard && !guard->listenError().isEmpty()) {
            // Running unreachable is worth knowing: a later launch starts a second program.
            dlg.showStatus(QStringLiteral("提示：") + guard->listenError());
        }
        for (const QStringList& args : pending) {
            QTimer::singleShot(0, &dlg, [&program, args] { handOver(program, args); });
        }
        if (options.start) {
            // Once the window runs its loop, as if Start had been clicked.
            QTimer::singleShot(0, &dlg, [&program] {
                if (!program.window().closing() && !program.isRunning()) {
                    program.startStop();
                }
            });
        }
        // Not exec(): hiding a dialog ends its exec(), and with a tray the
        // close box only hides the window. The program ends when the dialog
        // is done, however that comes.
        QApplication::setQuitOnLastWindowClosed(false);
        QEventLoop loop;
        QObject::connect(&dlg, &QDialog::finished, &loop, &QEventLoop::quit);
        dlg.showAtStart(options.minimized);
        loop.exec();
    }
    return 0;
}

} // namespace tw
