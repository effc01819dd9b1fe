#include "desktop/autostart.h"
#include "tests/support/tempdir.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

#include <QString>

namespace tw {
namespace {

using test::readFile;
using test::TempDir;

TEST(Autostart, writesAQuotedEntryForItsFolderAndRemovesOnlyItsOwn)
{
    TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    const std::string entry = config.file("autostart/tidewatch.desktop");
    ASSERT_EQ(Autostart::entryPath().toStdString(), entry);

    // Blanks, "$", "\" and "%" in the folder: quoted per the Exec rules, "%"
    // doubled, and "\" escaped once more as a desktop file string.
    const Autostart mine(QStringLiteral("/opt/my tools/a$b\\c%d"));
    const Autostart other(QStringLiteral("/opt/tidewatch"));
    EXPECT_EQ(other.exec(), QStringLiteral("/opt/tidewatch/tidewatch --start --minimized"));
    EXPECT_FALSE(mine.isEnabled());

    QString error;
    ASSERT_TRUE(mine.setEnabled(true, &error)) << error.toStdString();
    const std::string text = readFile(entry);
    EXPECT_NE(text.find("[Desktop Entry]\nType=Application\n"), std::string::npos) << text;
    EXPECT_NE(
        text.find("\nExec=\"/opt/my tools/a\\\\$b\\\\\\\\c%%d/tidewatch\" --start --minimized\n"),
        std::string::npos)
        << text;
    EXPECT_TRUE(mine.isEnabled());
    EXPECT_FALSE(other.isEnabled()) << "the entry starts another folder's program";

    ASSERT_TRUE(other.setEnabled(false));
    EXPECT_TRUE(std::filesystem::exists(entry)) << "another folder's entry is left alone";
    ASSERT_TRUE(mine.setEnabled(false));
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_TRUE(mine.setEnabled(false)) << "nothing to remove is no failure";

    // A config folder that cannot be written: a reason, no entry.
    test::writeFile(config.file("ro"), "");
    setenv("XDG_CONFIG_HOME", config.file("ro").c_str(), 1);
    EXPECT_FALSE(mine.setEnabled(true, &error));
    EXPECT_NE(error.toStdString().find("ro/autostart/tidewatch.desktop"), std::string::npos);
    EXPECT_FALSE(mine.isEnabled());
}

} // namespace
} // namespace tw
