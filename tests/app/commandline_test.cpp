#include "app/commandline.h"

#include <gtest/gtest.h>
#include <tuple>
#include <vector>

#include <QProcess>
#include <QProcessEnvironment>

namespace tw {
namespace {

CommandLine parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "tidewatch");
    return CommandLine::parse(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, optionsAndTheirErrors)
{
    EXPECT_EQ(parse({}).action, CommandLine::Action::Run);
    EXPECT_FALSE(parse({}).start);
    EXPECT_EQ(parse({"--start", "--help"}).action, CommandLine::Action::Help);
    // Qt's own options pass through to the application object.
    const CommandLine qt = parse({"-platform", "xcb", "--start", "-reverse", "--minimized"});
    EXPECT_EQ(qt.action, CommandLine::Action::Run);
    EXPECT_TRUE(qt.start);
    EXPECT_TRUE(qt.minimized);
    EXPECT_FALSE(parse({"--start"}).minimized);

    const CommandLine bad = parse({"--stat"});
    EXPECT_EQ(bad.action, CommandLine::Action::Error);
    EXPECT_NE(bad.error.find("--stat"), std::string::npos);

    const CommandLine exported = parse({"--export-csv", "out.csv", "--since", "2024-02-29"});
    EXPECT_EQ(exported.action, CommandLine::Action::ExportCsv);
    EXPECT_EQ(exported.exportFile, "out.csv");
    EXPECT_EQ(exported.since, "2024-02-29");
    for (const std::vector<const char*>& wrong :
         {std::vector<const char*>{"--export-csv"}, {"--export-csv", "o", "--since", "2023-02-29"},
          {"--export-csv", "o", "--since", "24-1-1"}, {"--since", "2024-01-01"}}) {
        EXPECT_EQ(parse(wrong).action, CommandLine::Action::Error) << wrong.back();
    }
}

// --help and --version must work on a machine without any display.
TEST(CommandLine, helpAndVersionNeedNoDisplay)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "xcb");

    // Argument, what the output holds, exit status.
    const std::tuple<const char*, const char*, int> cases[] = {
        {"--help", "--minimized", 0},
        {"--version", "tidewatch " TIDEWATCH_VERSION, 0},
        {"--bogus", "unknown option", 2},
        {"--export-csv", "needs a value", 2}};
    for (const auto& [arg, expected, status] : cases) {
        SCOPED_TRACE(arg);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(TIDEWATCH_EXE), {arg});
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), status);
        const QString out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        EXPECT_TRUE(out.contains(expected)) << out.toStdString();
    }
}

} // namespace
} // namespace tw
