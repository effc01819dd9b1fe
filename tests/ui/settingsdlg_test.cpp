#include "tests/ui/windowfixture.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>

namespace tw::test {
namespace {

class SettingsDlgTest : public WindowTest
{
protected:
    // Opens "设置…" from the main window; use drives the dialog and ends it.
    void withSettings(const std::function<void(QDialog&)>& use)
    {
        bool used = false;
        QTimer::singleShot(0, [&] {
            waitUntil([] { return QApplication::activeModalWidget() != nullptr; });
            if (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                used = true;
                use(*open);
                if (open->isVisible()) {
                    ADD_FAILURE() << "the dialog is still open";
                    open->reject();
                }
            }
        });
        QTest::mouseClick(child<QPushButton>("IDC_SETTINGS"), Qt::LeftButton);
        EXPECT_TRUE(used);
    }

    static void type(QDialog& d, const char* key, const QString& text)
    {
        QWidget* editor = d.findChild<QWidget*>(key);
        ASSERT_NE(editor, nullptr) << key;
        if (auto* spin = qobject_cast<QSpinBox*>(editor)) {
            spin->selectAll();
        } else {
            static_cast<QLineEdit*>(editor)->selectAll();
        }
        QTest::keyClicks(editor, text);
    }
    static void press(QDialog& d, const char* name)
    {
        QTest::mouseClick(d.findChild<QPushButton*>(name), Qt::LeftButton);
    }
};

// Only the keys changed are written, each on its own line: what was written
// by hand stays, a User-Agent with ";" and a comment included, and a key
// read at every run reaches the program's settings at once.
TEST_F(SettingsDlgTest, okWritesTheChangedKeysOnlyAndCancelWritesNothing)
{
    const std::string ini = "[General]\n"
                            "; written by hand\n"
                            "interval=30\n"
                            "useragent=Mozilla/5.0 (X11; Linux x86_64)\n"
                            "openlimit=-3\n"
                            "notify=1\n";
    openWindow({}, ini);
    QSignalSpy changed(app.get(), &Program::settingChanged);

    withSettings([&](QDialog& d) {
        type(d, "jitter", QStringLiteral("40"));
        d.findChild<QCheckBox*>("notify")->click();
        press(d, "IDCANCEL");
    });
    EXPECT_EQ(readFile(dir.file("tidewatch.ini")), ini);

    withSettings([&](QDialog& d) {
        auto* tabs = d.findChild<QTabWidget*>();
        ASSERT_NE(tabs, nullptr);
        QStringList pages;
        for (int i = 0; i < tabs->count(); ++i) {
            pages << tabs->tabText(i);
        }
        EXPECT_EQ(pages, QStringList({"检测", "提醒", "网络", "桌面"}));
        EXPECT_EQ(d.findChild<QLabel*>("default_interval")->text(), "默认：30");
        EXPECT_EQ(d.findChild<QLabel*>("default_useragent")->text(), "默认：（空）");
        EXPECT_EQ(d.findChild<QLineEdit*>("useragent")->text(), "Mozilla/5.0 (X11; Linux x86_64)");
        const QString help = d.findChild<QWidget*>("maxitemshow")->toolTip();
        EXPECT_TRUE(help.startsWith("rows shown in the item list window")) << help.toStdString();
        EXPECT_TRUE(help.endsWith("重新启动后生效")) << help.toStdString();
        EXPECT_TRUE(d.findChild<QWidget*>("jitter")->toolTip().endsWith("开始下一次检测时生效"));

        auto* jitter = d.findChild<QSpinBox*>("jitter");
        EXPECT_EQ(jitter->maximum(), 100);
        type(d, "jitter", QStringLiteral("40"));
        d.findChild<QCheckBox*>("notify")->click();
        type(d, "mallhost", QStringLiteral("127.0.0.1:8"));
        press(d, "restore_mallhost");
        type(d, "proxy", QStringLiteral("socks5://127.0.0.1:1080"));
        press(d, "IDOK");
    });
    EXPECT_EQ(readFile(dir.file("tidewatch.ini")), "[General]\n"
                                                   "; written by hand\n"
                                                   "interval=30\n"
                                                   "useragent=Mozilla/5.0 (X11; Linux x86_64)\n"
                                                   "openlimit=-3\n"
                                                   "notify=0\n"
                                                   "jitter=40\n"
                                                   "proxy=socks5://127.0.0.1:1080\n");
    EXPECT_EQ(app->settings().jitter, 40);
    EXPECT_EQ(app->settings().notify, 0);
    QStringList keys;
    for (const QList<QVariant>& signal : changed) {
        keys << signal[0].toString();
    }
    EXPECT_EQ(keys, QStringList({"notify", "jitter", "proxy"}));
}

// An interval the run would refuse is refused with the same reason and
// nothing is written; a good one goes into the window's box, which
// close-down saves for the next launch.
TEST_F(SettingsDlgTest, aBadIntervalIsRefusedWithItsReasonAndAGoodOneReachesTheBox)
{
    const std::string ini = "[General]\n; mine\ninterval=30\n";
    openWindow({}, ini);
    withSettings([&](QDialog& d) {
        type(d, "interval", QStringLiteral("86401"));
        type(d, "jitter", QStringLiteral("5"));
        press(d, "IDOK");
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(d.findChild<QLabel*>("problem")->text(),
                  "interval：间隔时间过大，最多 86400 秒！");
        EXPECT_EQ(readFile(dir.file("tidewatch.ini")), ini);

        type(d, "interval", QStringLiteral("45"));
        press(d, "IDOK");
    });
    EXPECT_EQ(child<QLineEdit>("IDC_INTERVAL")->text(), "45");
    EXPECT_EQ(app->settings().interval, 45);

    app.reset();
    Program again(host, dir.path());
    ASSERT_TRUE(again.setUp());
    EXPECT_EQ(again.window().intervalText(), "45");
    EXPECT_EQ(readFile(dir.file("tidewatch.ini")),
              "[General]\n; mine\ninterval=45\njitter=5\nfiltkc=0\n");
    EXPECT_TRUE(host->warnings().empty());
}

} // namespace
} // namespace tw::test
