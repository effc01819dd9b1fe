#include "app/watchapp.h"

#include "app/signalcloser.h"
#include "ui/qthostservices.h"
#include "ui/watchdlg.h"

#include <QApplication>
#include <QDialog>
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
}

CWatchApp::~CWatchApp() = default;

int CWatchApp::run()
{
    return runWindow(std::make_shared<QtHostServices>(), m_options);
}

int CWatchApp::runWindow(std::shared_ptr<HostServices> host, const CommandLine& options,
                         std::string appDir)
{
    CWatchDlg dlg(std::move(host), std::move(appDir));
    QPointer<CWatchDlg> window(&dlg);

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

    if (dlg.OnInitDialog() && !dlg.closing()) {
        if (options.start) {
            // Once the window runs its loop, as if Start had been clicked.
            QTimer::singleShot(0, &dlg, [window] {
                if (window && !window->closing() && !window->isRunning()) {
                    window->OnStartStop();
                }
            });
        }
        dlg.exec();
    }
    return 0;
}

} // namespace tw
