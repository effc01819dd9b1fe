#include "desktop/autostart.h"
#include "tests/support/tempdir.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

#include <QString>

namespace tw {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

TEST(Autostart, writesAQuotedEntryForItsFolderAndRemovesOnlyItsOwn)
{
    TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);

    // Blanks, "$", "\" and "%" in the folder: quoted per the Exec rules, "%"
    // doubled, and "\" escaped once more as a desktop file string.
    const Autostart mine(QStringLiteral("/opt/my tools/a$b\\c%d"));
    const Autostart other(QStringLiteral("/opt/tidewatch"));
    EXPECT_EQ(other.exec(), QStringLiteral("/opt/tidewatch/tidewatch --start --minimized"));
    EXPECT_FALSE(mine.isEnabled());
    const std::string entry = mine.entryPath().toStdString();
    EXPECT_EQ(std::filesystem::path(entry).parent_path(), config.file("autostart"));
    EXPECT_TRUE(std::regex_match(std::filesystem::path(entry).filename().string(),
                                 std::regex("tidewatch-[0-9a-f]{8}\\.desktop")))
        << entry;
    EXPECT_NE(mine.entryPath(), other.entryPath());
    EXPECT_EQ(Autostart(QStringLiteral("/opt/x/../tidewatch/")).entryPath(), other.entryPath());

    QString error;
    ASSERT_TRUE(mine.setEnabled(true, &error)) << error.toStdString();
    const std::string text = readFile(entry);
    EXPECT_NE(text.find("[Desktop Entry]\nType=Application\nName=Tidewatch (a$b\\\\c%d)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(
        text.find("\nExec=\"/opt/my tools/a\\\\$b\\\\\\\\c%%d/tidewatch\" --start --minimized\n"),
        std::string::npos)
        << text;
    EXPECT_TRUE(mine.isEnabled());
    EXPECT_FALSE(other.isEnabled());

    // A second folder gets an entry of its own; turning either off leaves the other.
    ASSERT_TRUE(other.setEnabled(true, &error)) << error.toStdString();
    EXPECT_TRUE(mine.isEnabled());
    EXPECT_TRUE(other.isEnabled());
    ASSERT_TRUE(other.setEnabled(false));
    EXPECT_FALSE(other.isEnabled());
    EXPECT_TRUE(mine.isEnabled());
    ASSERT_TRUE(mine.setEnabled(false));
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_TRUE(mine.setEnabled(false)) << "nothing to remove is no failure";

    // A config folder that cannot be written: a reason, no entry.
    writeFile(config.file("ro"), "");
    setenv("XDG_CONFIG_HOME", config.file("ro").c_str(), 1);
    EXPECT_FALSE(mine.setEnabled(true, &error));
    EXPECT_NE(error.toStdString().find("ro/autostart/tidewatch-"), std::string::npos)
        << error.toStdString();
    EXPECT_FALSE(mine.isEnabled());
}

// The single tidewatch.desktop of earlier versions: the folder it starts
// reads as enabled and replaces it, turning on or off; another folder leaves it.
TEST(Autostart, anEarlierEntryIsReplacedOnlyByTheFolderItStarts)
{
    TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    TempDir programs;
    std::filesystem::create_directory(programs.file("a b"));
    std::filesystem::create_directory(programs.file("c"));
    // Written for the folder through a symbolic link: still that folder's.
    std::filesystem::create_directory_symlink(programs.file("a b"), programs.file("link"));
    // The program itself a link to a build's output: still this folder's.
    writeFile(programs.file("build-output"), "");
    std::filesystem::create_symlink(programs.file("build-output"), programs.file("c/tidewatch"));
    const Autostart a(QString::fromStdString(programs.file("a b")));
    const Autostart c(QString::fromStdString(programs.file("c")));
    const std::string legacy = config.file("autostart/tidewatch.desktop");
    ASSERT_EQ(Autostart::legacyEntryPath().toStdString(), legacy);
    const std::string legacyText = "[Desktop Entry]\nType=Application\nName=Tidewatch\nExec=\"" +
                                   programs.file("link") + "/tidewatch\" --start --minimized\n";
    std::filesystem::create_directory(config.file("autostart"));

    writeFile(legacy, legacyText);
    EXPECT_TRUE(a.isEnabled());
    EXPECT_FALSE(c.isEnabled());
    ASSERT_TRUE(c.setEnabled(true));
    EXPECT_TRUE(c.isEnabled());
    ASSERT_TRUE(c.setEnabled(false));
    EXPECT_FALSE(c.isEnabled());
    EXPECT_EQ(readFile(legacy), legacyText) << "another folder's entry is left alone";

    ASSERT_TRUE(a.setEnabled(true));
    EXPECT_FALSE(std::filesystem::exists(legacy));
    EXPECT_TRUE(a.isEnabled());

    writeFile(legacy, legacyText);
    ASSERT_TRUE(a.setEnabled(false));
    EXPECT_FALSE(std::filesystem::exists(legacy));
    EXPECT_FALSE(std::filesystem::exists(a.entryPath().toStdString()));
    EXPECT_FALSE(a.isEnabled());

    writeFile(legacy, legacyText + "Hidden=true\n");
    EXPECT_FALSE(a.isEnabled()) << "a hidden entry starts nothing";
}

} // namespace
} // namespace tw
