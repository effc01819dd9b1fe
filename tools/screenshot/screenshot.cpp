// tw-screenshot <main.png> [<settings.png> [<edit.png>]]: the documentation's
// pictures in Chinese, of the real program during a real run against the
// local test marketplace: the main window, the settings dialog, and a watch's
// edit dialog after "试一下". Run it under Xvfb with a CJK font installed.
#include "app/program.h"
#include "app/translations.h"
#include "core/hostservices.h"
#include "tools/setup/setup.h"
#include "tools/testmarket/testmarket.h"
#include "ui/watcheditdlg.h"
#include "ui/watchdlg.h"
#include "ui/watchlistmodel.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

#include <QAbstractItemModel>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QLocale>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

namespace {

// Handles events until done holds, at most limitMs.
bool waitFor(const std::function<bool()>& done, int limitMs = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    return true;
}

bool save(QWidget& widget, const char* path)
{
    if (!widget.grab().save(QString::fromLocal8Bit(path))) {
        std::cerr << "tw-screenshot: cannot write " << path << '\n';
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 4) {
        std::cerr << "usage: tw-screenshot <main.png> [<settings.png> [<edit.png>]]\n";
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
    tw::test::TestMarket market;
    if (!market.start()) {
        std::cerr << "tw-screenshot: the test marketplace did not start\n";
        return 1;
    }
    market.setItems("相机", {{"5001", "微单相机 全画幅 95新"}, {"5002", "胶片相机 旁轴"}});
    market.setItems("山地车", {{"6001", "山地车 27速 铝架"}, {"6002", "山地车 禧玛诺 套件"}});
    market.setItems("镜头", {{"7001", "50mm 定焦镜头"}, {"7002", "长焦镜头 有霉"},
                             {"7003", "广角镜头 成色好"}, {"7004", "镜头 遮光罩"}});
    market.setItems("机械键盘", {{"8001", "机械键盘 红轴"}});
    const std::string lens = market.searchUrl("镜头");
    std::ofstream(path + "_items.txt", std::ios::binary)
        << market.searchUrl("相机") << "\r\n"
        << market.searchUrl("山地车") << "\r\n"
        << lens << "\r\n"
        << market.searchUrl("机械键盘") << "\r\n";
    std::ofstream(path + "_items.ini", std::ios::binary)
        << "[" << market.searchUrl("山地车") << "]\r\nname=通勤山地车\r\n"
        << "[" << lens << "]\r\nignore=遮光罩\r\n"
        << "[" << market.searchUrl("机械键盘") << "]\r\npaused=1\r\n";
    std::ofstream(path + "tidewatch.ini", std::ios::binary | std::ios::app)
        << "interval=2\r\nkeepwatching=1\r\nbaseline=1\r\nnotify=0\r\nignore=有霉\r\n"
           "itemhost=127.0.0.1:8\r\n";

    tw::Program program(std::make_shared<tw::HeadlessHost>(), path);
    if (!program.setUp()) {
        return 1;
    }
    tw::CWatchDlg& window = program.window();
    window.show();
    const QAbstractItemModel& rows = program.rows();
    const auto status = [&rows](int row) {
        return rows.index(row, tw::WatchListModel::StatusColumn).data().toString();
    };
    program.startStop();
    // The first pass takes each watch's items as its baseline; then the
    // marketplace lists two more lenses, which the next pass reports.
    if (!waitFor([&] { return status(2) == QStringLiteral("已建立基线"); })) {
        std::cerr << "tw-screenshot: the run did not check the watches\n";
        return 1;
    }
    market.addItem("镜头", {"7005", "微距镜头 几乎全新"});
    market.addItem("镜头", {"7006", "变焦镜头 带 UV 镜"});
    const auto settled = [&] {
        for (int row = 0; row < rows.rowCount(); ++row) {
            if (status(row) == QStringLiteral("执行中")) {
                return false;
            }
        }
        return status(2).startsWith(QStringLiteral("发现更新！"));
    };
    if (!waitFor(settled) || !save(window, argv[1])) {
        return 1;
    }

    bool saved = true;
    if (argc >= 3) {
        saved = false;
        QTimer::singleShot(300, &window, [&] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                saved = save(*dialog, argv[2]);
                dialog->close();
            }
        });
        program.openSettings();
    }
    if (saved && argc == 4) {
        // Stopped first, so that what the trial calls new stays new.
        program.startStop();
        if (!waitFor([&] { return !program.isRunning(); })) {
            return 1;
        }
        market.addItem("镜头", {"7007", "定焦镜头 全新未拆"});
        market.addItem("镜头", {"7008", "相机 背带"});
        saved = false;
        QTimer::singleShot(300, &window, [&] {
            auto* dialog = qobject_cast<tw::CWatchEditDlg*>(QApplication::activeModalWidget());
            if (!dialog) {
                return;
            }
            dialog->findChild<QLineEdit*>("IDC_WATCH_MUST")->setText(QStringLiteral("镜头"));
            dialog->findChild<QPushButton*>("IDC_WATCH_TRY")->click();
            if (waitFor([dialog] { return !dialog->trialRunning(); })) {
                dialog->resize(dialog->sizeHint().width(), 690);
                waitFor([] { return false; }, 200);
                saved = save(*dialog, argv[3]);
            }
            dialog->reject();
        });
        program.editWatch(2);
    }
    return saved ? 0 : 1;
}
