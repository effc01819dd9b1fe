// tw-screenshot <out.png> [<settings.png>]: the main window with a few sample
// watches during a run, and the settings dialog, drawn for the documentation
// in Chinese. Run it under Xvfb with a CJK font installed.
#include "app/program.h"
#include "app/translations.h"
#include "core/hostservices.h"
#include "core/watchlistroom.h"
#include "core/watchtable.h"
#include "engine/pollmessages.h"
#include "tools/setup/setup.h"
#include "ui/runcontroller.h"
#include "ui/watchdlg.h"

#include <fstream>
#include <iostream>
#include <sstream>

#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QTimer>
#include <QPixmap>
#include <QTemporaryDir>

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::cerr << "usage: tw-screenshot <out.png> [<settings.png>]\n";
        return 2;
    }
    QApplication app(argc, argv);
    tw::loadQtTranslations(app, QLocale(QLocale::Chinese, QLocale::China));
    QTemporaryDir dir;
    const std::string path = QDir(dir.path()).absolutePath().toStdString() + "/";
    std::ostringstream quiet;
    if (!dir.isValid() || tw::runSetup(path, quiet, std::cerr) != 0) {
        return 1;
    }
    // Percent-encoded, as a browser's address bar hands them over.
    std::ofstream(path + "_items.txt", std::ios::binary)
        << "http://search.example.com/search?cat=50&q=%E7%9B%B8%E6%9C%BA&sort=new\r\n"
           "http://search.example.com/search?cat=12&q=%E5%B1%B1%E5%9C%B0%E8%BD%A6&price=300-900\r\n"
           "http://search.example.com/search?cat=50&q=%E9%95%9C%E5%A4%B4&sort=new&city=%E6%9D%AD%E5%B7%9E\r\n"
           "http://search.example.com/search?cat=3&q=%E6%9C%BA%E6%A2%B0%E9%94%AE%E7%9B%98\r\n";

    tw::Program program(std::make_shared<tw::HeadlessHost>(), path);
    if (!program.setUp()) {
        return 1;
    }
    tw::CWatchDlg& window = program.window();
    window.show();
    // As during a run: the button and the status line say so.
    window.showRunState(tw::RunController::State::Running);
    // Statuses as a run shows them.
    const auto watch = [&program](int row) {
        const tw::WatchEntry& w = *program.list().at(row);
        return tw::WatchRef{w.id, row, w.url};
    };
    const auto ended = [&](int row, std::vector<tw::FoundItem> items = {}) {
        tw::CheckEnded message;
        message.watch = watch(row);
        message.items = std::move(items);
        program.runner().postMessage(std::move(message));
    };
    ended(0);
    ended(1);
    ended(2, {{"1", "镜头"}});
    program.runner().postMessage(tw::CheckBegan{watch(3)});
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
    }
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::cerr << "tw-screenshot: cannot write " << argv[1] << '\n';
        return 1;
    }
    if (argc == 3) {
        bool saved = false;
        QTimer::singleShot(300, &window, [&] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                saved = dialog->grab().save(QString::fromLocal8Bit(argv[2]));
                dialog->close();
            }
        });
        program.openSettings();
        if (!saved) {
            std::cerr << "tw-screenshot: cannot write " << argv[2] << '\n';
            return 1;
        }
    }
    return 0;
}
