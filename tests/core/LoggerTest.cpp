#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <json/value.h>

#include "core/ZelkorLog.h"
#include "core/ZelkorLoggable.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

namespace {

const char kStamp[] = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}";

std::string UtcDate() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &parts);
    return text;
}

// The lines of a file with their time stamps cut off ("" for a missing file).
std::vector<std::string> Texts(const std::string& path) {
    std::istringstream in(ZelkorTest::ReadFile(path));
    std::vector<std::string> texts;
    const std::regex stamped(std::string("^") + kStamp + " (.*)$");
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        texts.push_back(std::regex_match(line, match, stamped) ? match[1].str() : "UNSTAMPED " + line);
    }
    return texts;
}

// A private logger working in a fresh current folder, its console output captured.
class LoggerTest : public ::testing::Test {
protected:
    ~LoggerTest() override { std::cout.rdbuf(previous); }

    // What the logger has written to standard output since the last call.
    std::string TakeConsole() {
        std::string text = console.str();
        console.str("");
        return text;
    }

    ZelkorTest::TempDir dir;
    ZelkorTest::ScopedChdir chdir{dir.Path()};
    std::ostringstream console;
    std::streambuf* const previous = std::cout.rdbuf(console.rdbuf());
    ZelkorLog log;
};

}  // namespace

TEST_F(LoggerTest, ConsoleLinesStartWithCarriageReturnAndStamp) {
    log.Write("DISC hello");
    EXPECT_THAT(TakeConsole(), MatchesRegex(std::string("\r") + kStamp + " DISC hello\n"));
    log.SetWriteConsole(false);
    log.Write("quiet");
    EXPECT_EQ(TakeConsole(), "");
    // The system log has no writer of its own: choosing it drops every line.
    log.SetWriteConsole(true);
    log.SetSyslogSupported(true);
    log.Write("dropped");
    EXPECT_EQ(TakeConsole(), "");
    EXPECT_THAT(Texts("zlkrdev.log"), ElementsAre("DISC hello", "quiet"));
}

TEST_F(LoggerTest, FileNameFollowsTheSettings) {
    struct Case {
        std::string path, prefix, base, suffix;
        bool prelog;
        std::string expected;  // DATE stands for the UTC date
    };
    const Case cases[] = {
        {"", "", "", "", false, "DATE"},
        {"", "node", "", "", false, "node.DATE"},
        {"", "", "main", "", false, "main"},
        {"/var/tmp", "node", "", "txt", false, "/var/tmp/node.DATE.txt"},
        {"logs", "p", "b", "s", false, "logs/p.b.s"},
        {"", "", "", "log", false, "DATE.log"},
        {"", "node", "main", "txt", true, "zlkrdev.log"},
        {"logs", "node", "", "", true, "logs/zlkrdev.log"},
    };
    for (const auto& c : cases) {
        log.SetPath(c.path);
        log.SetPrefix(c.prefix);
        log.SetBase(c.base);
        log.SetSuffix(c.suffix);
        log.SetWritePrelog(c.prelog);
        const std::string date = UtcDate();
        std::string expected = c.expected;
        if (auto at = expected.find("DATE"); at != std::string::npos) {
            expected.replace(at, 4, date);
        }
        const std::string name = log.CurrentFileName();
        if (UtcDate() == date) {
            EXPECT_EQ(name, expected);
        }
    }
}

TEST_F(LoggerTest, PrelogIsHandedOverInOrderThenDeleted) {
    fs::create_directory("early");
    fs::create_directory("later");
    ZelkorTest::WriteFile("early/zlkrdev.log", "left by an earlier run\n");
    ZelkorTest::WriteFile("zlkrdev.log", "decoy\n");
    ZelkorTest::WriteFile("later/zlkrdev.log", "decoy\n");
    log.SetPath("early");
    log.Write("one");
    log.Write("two");
    EXPECT_THAT(Texts("early/zlkrdev.log"), ElementsAre("one", "two"));

    // Only the early log really written is handed over, whatever the path says by then.
    log.SetPath("later");
    log.SetPrefix("node");
    log.SetWritePrelog(false);
    log.Write("three");
    log.Write("four");
    EXPECT_THAT(Texts("later/node." + UtcDate()), ElementsAre("one", "two", "three", "four"));
    EXPECT_FALSE(fs::exists("early/zlkrdev.log"));
    EXPECT_EQ(ZelkorTest::ReadFile("zlkrdev.log"), "decoy\n");
    EXPECT_EQ(ZelkorTest::ReadFile("later/zlkrdev.log"), "decoy\n");

    // A new prelog phase starts a fresh early log; handed over onto itself, it keeps
    // its lines once instead of being copied onto its own end.
    log.SetWritePrelog(true);
    log.Write("five");
    EXPECT_THAT(Texts("later/zlkrdev.log"), ElementsAre("five"));
    log.SetPrefix("");
    log.SetBase(ZelkorLog::kPrelogName);
    log.SetWritePrelog(false);
    log.Write("six");
    EXPECT_THAT(Texts("later/zlkrdev.log"), ElementsAre("five", "six"));
}

// The early log is handed over by the first line that really reaches the log file.
TEST_F(LoggerTest, HandOverWaitsForALineInTheLogFile) {
    log.Write("early");
    log.SetWritePrelog(false);
    log.SetWriteFile(false);
    log.Write("console only");
    EXPECT_THAT(TakeConsole(), ::testing::HasSubstr("console only"));

    log.SetWriteFile(true);
    log.SetWriteConsole(false);
    log.SetPath("missing");
    log.Write("lost");
    EXPECT_THAT(TakeConsole(), MatchesRegex(std::string("\r") + kStamp +
                                            " ZLOG ZK8001E Log file could not be opened, path : missing/[0-9]{8}\n"));
    EXPECT_THAT(Texts("zlkrdev.log"), ElementsAre("early"));
    EXPECT_FALSE(fs::exists(UtcDate()));

    log.SetPath("");
    log.Write("later");
    EXPECT_EQ(TakeConsole(), "");
    EXPECT_THAT(Texts(UtcDate()), ElementsAre("early", "later"));
    EXPECT_FALSE(fs::exists("zlkrdev.log"));
}

TEST_F(LoggerTest, EarlyLogStaysWhenItsLinesCannotBeCopied) {
    // /dev/full opens but refuses every byte written to it.
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    log.SetWriteConsole(false);
    log.Write("precious");
    log.SetWritePrelog(false);
    log.SetPath("/dev");
    log.SetBase("full");
    log.Write("lost");
    EXPECT_THAT(Texts("zlkrdev.log"), ElementsAre("precious"));
    EXPECT_THAT(TakeConsole(), ::testing::HasSubstr("ZLOG ZK8001E Exception thrown by close() ("));
}

TEST_F(LoggerTest, CallbackReplacesConsoleFileAndEarlyLog) {
    fs::create_directory("early");
    ZelkorTest::WriteFile("zlkrdev.log", "decoy\n");
    log.SetPath("early");
    log.Write("before");
    TakeConsole();

    std::vector<std::string> first;
    std::vector<std::string> second;
    log.RegisterExternalLogger({});  // an empty sink is no sink: ignored
    log.Write("still on console");
    EXPECT_THAT(TakeConsole(), ::testing::HasSubstr("still on console"));

    log.RegisterExternalLogger([&](std::string& line) { first.push_back(line); });
    EXPECT_FALSE(fs::exists("early/zlkrdev.log"));
    EXPECT_EQ(ZelkorTest::ReadFile("zlkrdev.log"), "decoy\n");

    log.Write("DISC one");
    log.RegisterExternalLogger([&](std::string& line) { second.push_back(line); });
    log.SetWriteConsole(true);  // ignored from now on: the callback has the lines
    log.SetWritePrelog(false);
    log.Write("two");

    EXPECT_THAT(first, ElementsAre("DISC one"));
    EXPECT_THAT(second, ElementsAre("two"));
    EXPECT_EQ(TakeConsole(), "");
    EXPECT_FALSE(fs::exists("early/zlkrdev.log"));
    EXPECT_FALSE(fs::exists("early/" + UtcDate()));
}

TEST_F(LoggerTest, CallbackThatLogsReconfiguresOrThrowsIsContained) {
    std::vector<std::string> lines;
    log.RegisterExternalLogger([&](std::string& line) {
        lines.push_back(line);
        log.Write("nested");
        log.SetPath("elsewhere");
        log.RegisterExternalLogger([&](std::string&) { lines.push_back("replaced"); });
    });
    log.Write("outer");
    log.Write("again");
    EXPECT_THAT(lines, ElementsAre("outer", "again"));
    EXPECT_EQ(log.Path(), "elsewhere");

    log.RegisterExternalLogger([](std::string&) { throw std::runtime_error("sink broken"); });
    EXPECT_NO_THROW(log.Write("line"));
    log.RegisterExternalLogger([](std::string&) { throw 42; });
    EXPECT_NO_THROW(log.Write("line"));
}

TEST_F(LoggerTest, LinesFromManyThreadsNeverInterleave) {
    log.SetWriteConsole(false);
    log.SetWritePrelog(false);
    log.SetBase("threads");
    constexpr int kThreads = 4;
    constexpr int kLines = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i) {
                log.Write("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                          std::string(200, 'x'));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto texts = Texts("threads");
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(kThreads * kLines));
    for (const auto& text : texts) {
        EXPECT_THAT(text, MatchesRegex("thread [0-9] line [0-9]+ x{200}"));
    }
}

namespace {

class Module : public ZelkorLoggable {
public:
    explicit Module(std::string name) { SetLogModuleName(std::move(name)); }
};

// Counts how often it is written, to show that filtered lines are never formatted.
struct Counted {
    int* writes;
};
std::ostream& operator<<(std::ostream& out, const Counted& counted) {
    ++*counted.writes;
    return out << "counted";
}

}  // namespace

TEST(Loggable, FormatsModuleTextAndValue) {
    ZelkorTest::LogCapture capture;
    Module disc("DISC");
    Module none("");
    disc.SetLogLevel(7);
    const unsigned char small = 200;
    disc.Info("ZK2001I text", 5);
    disc.Info("ZK2002I alone");
    none.Error("no module");
    none.Warning(std::string("name"), "value");
    disc.Summary("byte", small);
    disc.Detail("address", boost::asio::ip::make_address("192.168.1.20"));
    disc.Detail("endpoint", boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("::1"), 4197));
    disc.Log(2, "explicit", "TCPS");
    disc.Log(1, "explicit", -7, "");
    std::istringstream file("0123456789");
    file.seekg(7);
    disc.Trace("position", file.tellg());
    Json::Value body(Json::objectValue);
    body["a"] = 1;
    disc.Debug("body", body);
    EXPECT_THAT(capture.Lines(),
                ElementsAre("DISC ZK2001I text (5)", "DISC ZK2002I alone", "no module", "name (value)", "DISC byte (200)",
                            "DISC address (192.168.1.20)", "DISC endpoint ([::1]:4197)", "TCPS explicit",
                            "explicit (-7)", "DISC position (7)", "DISC body ({\n\t\"a\" : 1\n})"));
}

namespace {

// Logs from its destructor, as a static of the application may while the process exits.
struct LogsAtExit {
    ~LogsAtExit() { Module("EXIT").Info("static destroyed"); }
};

}  // namespace

TEST(Loggable, StaticsMayLogWhileTheProcessExits) {
    EXPECT_EXIT(
        {
            // Made before the logger is first used, so destroyed after it would have been.
            static LogsAtExit late;
            // The sink owns memory of its own, which a destroyed logger would have freed.
            const std::string marker = "at exit: ";
            ZelkorLog::TheLog().RegisterExternalLogger(
                [marker](std::string& line) { std::cerr << marker << line << std::endl; });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "at exit: EXIT static destroyed");
}

TEST(Loggable, LevelFiltersLinesBeforeFormatting) {
    ZelkorTest::LogCapture capture;
    Module m("M");
    EXPECT_EQ(m.LogLevel(), 3u);
    m.SetLogLevel(100);
    EXPECT_EQ(m.LogLevel(), 7u);

    m.SetLogLevel(5);
    m.Error("1");
    m.Warning("2");
    m.Info("3");
    m.Summary("4");
    m.Detail("5");
    int writes = 0;
    m.Trace("6", Counted{&writes});
    m.Debug(Counted{&writes});
    EXPECT_THAT(capture.Lines(), ElementsAre("M 1", "M 2", "M 3", "M 4", "M 5"));
    EXPECT_EQ(writes, 0);

    capture.Clear();
    m.SetLogLevel(0);
    m.Error("silenced");
    m.Log(0, Counted{&writes});
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(writes, 0);

    m.SetLogLevel(7);
    m.Debug("x", Counted{&writes});
    EXPECT_EQ(writes, 1);
    EXPECT_THAT(capture.Lines(), ElementsAre("M x (counted)"));
}
