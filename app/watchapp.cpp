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
    auto host = std::make_shared<QtHostServices>();
    {
        CWatchDlg dlg(host);
        QPointer<CWatchDlg> window(&dlg);

        // A signal closes the window as its close box does. A box or dialog
        // open over it is dismissed first, so the close is not held up.
        SignalCloser closer([window] {
            while (QWidget* modal = QApplication::activeModalWidget()) {
                auto* box = qobject_cast<QDialog*>(modal);
                if (!box || box == window) {
                    break;
                }
                box->reject();
            }
            if (window) {
                window->close();
            }
        });

        if (dlg.OnInitDialog()) {
            if (m_options.start) {
                // Once the window runs its loop, as if Start had been clicked.
                QTimer::singleShot(0, &dlg, [window] {
                    if (window && !window->isRunning()) {
                        window->OnStartStop();
                    }
                });
            }
            dlg.exec();
        }
    }
    return 0;
}

} // namespace tw
