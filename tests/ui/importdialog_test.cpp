#include "tests/ui/windowfixture.h"
#include "ui/qthostservices.h"

#include <QDir>
#include <QFileDialog>

namespace tw::test {
namespace {

using ImportDialog = WindowTest;

// A start at login leaves the working folder at "/": the import's dialog
// opens in the program folder whatever the working folder is.
TEST_F(ImportDialog, opensInTheProgramFolder)
{
    openWindow();
    importFile("http://127.0.0.1/a?c=1&q=A\n");
    EXPECT_EQ(host->openPrompts(), std::vector<std::string>{dir.path()});

    // The real dialog, as the user sees it.
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QStringLiteral("/")));
    openWindow({}, "[General]\n", std::make_shared<QtHostServices>());
    QString shown;
    QTimer::singleShot(0, [&shown] {
        waitUntil([] { return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()); });
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            shown = dialog->directory().absolutePath();
            dialog->reject();
        }
    });
    dlg->OnImport();
    QDir::setCurrent(before);
    EXPECT_EQ(shown, QDir(QString::fromStdString(dir.path())).absolutePath());
}

} // namespace
} // namespace tw::test
