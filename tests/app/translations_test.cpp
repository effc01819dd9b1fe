#include "app/translations.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>

namespace tw {
namespace {

// What a Chinese desktop shows in Qt's own boxes and in the import's file
// dialog once the translations are loaded.
TEST(QtTranslations, standardButtonsAndTheFileDialogSpeakChinese)
{
    ASSERT_TRUE(loadQtTranslations(*QCoreApplication::instance(),
                                   QLocale(QLocale::Chinese, QLocale::China)));

    QMessageBox box(QMessageBox::Question, QStringLiteral("Tidewatch"), QStringLiteral("?"),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("取消"));
    EXPECT_NE(box.button(QMessageBox::Yes)->text(), QStringLiteral("&Yes"));

    QFileDialog dialog(nullptr, QStringLiteral("导入"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    EXPECT_EQ(buttons->button(QDialogButtonBox::Open)->text(), QStringLiteral("打开(&O)"));
    EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
}

} // namespace
} // namespace tw
