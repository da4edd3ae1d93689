#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <json/value.h>

#include "core/ZelkorLog.h"
#include "core/ZelkorLoggable.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

namespace {

const char kStamp[] = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}";

// Today's date as log file names carry it, read from the logger's own clock.
std::string UtcDate() {
    const std::string stamp = ZelkorLog::TimeStamp();  // "2024-03-01 09:05:07.042"
    return stamp.substr(0, 4) + stamp.substr(5, 2) + stamp.substr(8, 2);
}

// The lines of a file with their fixed-width time stamps cut off.
std::vector<std::string> Texts(const std::string& path) {
    std::istringstream in(ZelkorTest::ReadFile(path));
    std::vector<std::string> texts;
    for (std::string line; std::getline(in, line);) {
        texts.push_back(line.substr(std::string("2024-03-01 09:05:07.042 ").size()));
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

// The early log was once copied from wherever the path pointed by then, deleted before its
// lines were safe, and copied onto its own end when the log file was the early log itself.
TEST_F(LoggerTest, PrelogIsHandedOverInOrderThenDeleted) {
    fs::create_directory("early");
    fs::create_directory("later");
    ZelkorTest::WriteFile("early/zlkrdev.log", "left by an earlier run\n");
    ZelkorTest::WriteFile("later/zlkrdev.log", "decoy\n");
    log.SetPath("early");
    log.Write("one");
    log.Write("two");

    log.SetPath("later");
    log.SetPrefix("node");
    log.SetSuffix("txt");
    log.SetWritePrelog(false);
    log.Write("three");
    EXPECT_THAT(Texts("later/node." + UtcDate() + ".txt"), ElementsAre("one", "two", "three"));
    EXPECT_FALSE(fs::exists("early/zlkrdev.log"));
    EXPECT_EQ(ZelkorTest::ReadFile("later/zlkrdev.log"), "decoy\n");

    log.SetWritePrelog(true);
    log.Write("four");
    log.SetPrefix("");
    log.SetSuffix("");
    log.SetBase(ZelkorLog::kPrelogName);
    log.SetWritePrelog(false);
    log.Write("five");
    EXPECT_THAT(Texts("later/zlkrdev.log"), ElementsAre("four", "five"));
}

// The early log was once deleted although its lines had not reached the log file.
TEST_F(LoggerTest, FailedLogFileKeepsTheEarlyLog) {
    log.SetWriteConsole(false);
    log.Write("precious");
    log.SetWritePrelog(false);
    log.SetPath("missing");
    log.Write("lost");
    EXPECT_THAT(TakeConsole(), MatchesRegex(std::string("\r") + kStamp +
                                            " ZLOG ZK8001E Log file could not be opened, path : missing/[0-9]{8}\n"));
    if (fs::exists("/dev/full")) {
        log.SetPath("/dev");
        log.SetBase("full");  // opens, but refuses every byte written to it
        log.Write("lost");
    }
    EXPECT_THAT(Texts("zlkrdev.log"), ElementsAre("precious"));
}

TEST_F(LoggerTest, CallbackReplacesConsoleFileAndEarlyLog) {
    fs::create_directory("early");
    ZelkorTest::WriteFile("zlkrdev.log", "decoy\n");
    log.SetPath("early");
    log.Write("before");
    TakeConsole();
    log.RegisterExternalLogger({});  // an empty sink is no sink: ignored
    log.Write("still on console");
    EXPECT_THAT(TakeConsole(), HasSubstr("still on console"));

    std::vector<std::string> lines;
    log.RegisterExternalLogger([&](std::string& line) { lines.push_back(line); });
    // Only the early log really written is discarded.
    EXPECT_FALSE(fs::exists("early/zlkrdev.log"));
    EXPECT_EQ(ZelkorTest::ReadFile("zlkrdev.log"), "decoy\n");
    log.SetWriteConsole(true);
    log.SetWritePrelog(false);
    log.Write("DISC one");
    EXPECT_THAT(lines, ElementsAre("DISC one"));
    EXPECT_EQ(TakeConsole(), "");
}

// A callback that logs, reconfigures or registers once deadlocked on the logger's mutex;
// one that throws must not turn a log call into a failure of its caller.
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

    log.RegisterExternalLogger([](std::string&) { throw 42; });
    EXPECT_NO_THROW(log.Write("line"));
}

// A log file that only grew filled the disk: past its bound it is moved aside to NAME.old,
// replacing an older one, and begun anew, so the newest lines are kept in order.
TEST_F(LoggerTest, ALogFilePastItsBoundIsMovedAsideAndBegunAnew) {
    log.SetWriteConsole(false);
    log.SetMaxFileSize(200);
    log.SetWritePrelog(false);
    log.SetBase("main");
    std::vector<std::string> written;
    for (int line = 0; line < 40; ++line) {
        written.push_back("line " + std::to_string(line) + " of the log");
        log.Write(written.back());
    }
    ASSERT_TRUE(fs::exists("main.old"));
    EXPECT_LE(fs::file_size("main"), 200u);
    EXPECT_LE(fs::file_size("main.old"), 200u);
    std::vector<std::string> kept = Texts("main.old");
    for (const auto& text : Texts("main")) {
        kept.push_back(text);
    }
    ASSERT_GE(kept.size(), 4u);
    EXPECT_EQ(kept, std::vector<std::string>(written.end() - static_cast<long>(kept.size()), written.end()));

    // Without a bound, the file grows as it used to.
    log.SetMaxFileSize(0);
    log.SetBase("whole");
    for (const auto& text : written) {
        log.Write(text);
    }
    EXPECT_EQ(Texts("whole"), written);
    EXPECT_FALSE(fs::exists("whole.old"));
}

// The early log is bounded the same way; its part moved aside stays on disk when the rest
// is handed over.
TEST_F(LoggerTest, TheEarlyLogIsBoundedAndItsNewestPartHandedOver) {
    log.SetWriteConsole(false);
    log.SetMaxFileSize(200);
    for (int line = 0; line < 20; ++line) {
        log.Write("early line " + std::to_string(line));
    }
    ASSERT_TRUE(fs::exists("zlkrdev.log.old"));
    EXPECT_LE(fs::file_size("zlkrdev.log"), 200u);
    EXPECT_LE(fs::file_size("zlkrdev.log.old"), 200u);
    const std::vector<std::string> newest = Texts("zlkrdev.log");
    EXPECT_EQ(newest.back(), "early line 19");

    log.SetWritePrelog(false);
    log.SetBase("main");
    log.Write("first of the log file");
    std::vector<std::string> expected = newest;
    expected.push_back("first of the log file");
    EXPECT_EQ(Texts("main"), expected);
    EXPECT_FALSE(fs::exists("zlkrdev.log"));
    EXPECT_TRUE(fs::exists("zlkrdev.log.old"));
}

// Lines a peer causes at will: at most a burst of each code at once, then the count of
// those left out before the next line that passes; other codes and lines are not held.
TEST_F(LoggerTest, PeerLinesPassInABurstThenTheirCountLeftOutIsWritten) {
    log.SetWriteConsole(false);
    log.SetWritePrelog(false);
    log.SetBase("main");
    const auto start = Zelkor::PeerLineLimit::Clock::now();
    unsigned passed = 0;
    for (int line = 0; line < 50; ++line) {
        if (log.AdmitPeerLine("ZK20CEW", start)) {
            ++passed;
            log.Write("DISC ZK20CEW refused");
        }
    }
    EXPECT_EQ(passed, Zelkor::PeerLineLimit::kBurst);
    EXPECT_TRUE(log.AdmitPeerLine("ZK7233E", start));
    log.Write("unrelated");
    ASSERT_TRUE(log.AdmitPeerLine("ZK20CEW", start + Zelkor::PeerLineLimit::kPeriod));
    log.Write("DISC ZK20CEW refused again");
    const std::vector<std::string> texts = Texts("main");
    ASSERT_EQ(texts.size(), passed + 3);
    EXPECT_THAT(std::vector<std::string>(texts.end() - 3, texts.end()),
                ElementsAre("unrelated", "ZLOG ZK8002I 30 lines of ZK20CEW left out", "DISC ZK20CEW refused again"));
}

// A flood that stops has its count written once its code could pass again, by a periodic
// call, without a later line; a count not yet due waits for it, or is written at once when
// no later line may come (the driver's stop).
TEST_F(LoggerTest, CountsLeftOutAreWrittenOnceDueOrWhenNoLaterLineMayCome) {
    log.SetWriteConsole(false);
    log.SetWritePrelog(false);
    log.SetBase("main");
    const auto now = Zelkor::PeerLineLimit::Clock::now();
    for (unsigned line = 0; line < Zelkor::PeerLineLimit::kBurst + 5; ++line) {
        log.AdmitPeerLine("ZK20CEW", now - 2 * Zelkor::PeerLineLimit::kPeriod);
        log.AdmitPeerLine("ZK7233E", now);
    }
    log.WriteDueLeftOut();
    log.WriteDueLeftOut();
    EXPECT_THAT(Texts("main"), ElementsAre("ZLOG ZK8002I 5 lines of ZK20CEW left out"));
    log.WriteLeftOut();
    log.WriteLeftOut();
    EXPECT_THAT(Texts("main"), ElementsAre("ZLOG ZK8002I 5 lines of ZK20CEW left out",
                                           "ZLOG ZK8002I 5 lines of ZK7233E left out"));
}

// A logger that ends writes what still waits to its own file; the application's callback
// is not called then, since what it writes to may be gone.
TEST_F(LoggerTest, ALoggerThatEndsWritesTheCountsStillWaitingToItsFile) {
    std::vector<std::string> sunk;
    for (const bool callback : {false, true}) {
        auto ending = std::make_unique<ZelkorLog>();
        ending->SetWriteConsole(false);
        ending->SetWritePrelog(false);
        ending->SetBase(callback ? "sunk" : "ending");
        if (callback) {
            ending->RegisterExternalLogger([&sunk](std::string& line) { sunk.push_back(line); });
        }
        for (unsigned line = 0; line < Zelkor::PeerLineLimit::kBurst + 3; ++line) {
            ending->AdmitPeerLine("ZK20CEW");
        }
        ending.reset();
    }
    EXPECT_THAT(Texts("ending"), ElementsAre("ZLOG ZK8002I 3 lines of ZK20CEW left out"));
    EXPECT_FALSE(fs::exists("sunk"));
    EXPECT_TRUE(sunk.empty());
}

namespace {

class Module : public ZelkorLoggable {
public:
    explicit Module(std::string name) { SetLogModuleName(std::move(name)); }
};

// Logs from its destructor, as a static of the application may while the process exits.
struct LogsAtExit {
    ~LogsAtExit() { Module("EXIT").Info("static destroyed"); }
};

// Held by the logger's callback alone; says so when the callback is released.
struct SinkState {
    ~SinkState() { std::cerr << "sink released" << std::endl; }
};

}  // namespace

// A JSON value as an argument once compiled only where the JSON writer happened to be
// included; level 0 once let lines logged at level 0 through.
TEST(Loggable, FormatsAndFiltersLines) {
    ZelkorTest::LogCapture capture;
    Module disc("DISC");
    disc.SetLogLevel(100);
    EXPECT_EQ(disc.LogLevel(), 7u);
    disc.Info("ZK2001I text", 5);
    Module("").Error("no module");
    disc.Detail("endpoint", boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("::1"), 4197));
    disc.Log(2, "explicit", "TCPS");
    Json::Value body(Json::objectValue);
    body["a"] = 1;
    disc.Debug("body", body);

    disc.SetLogLevel(5);
    disc.Trace("filtered");
    disc.SetLogLevel(0);
    disc.Log(0, "silenced");
    EXPECT_THAT(capture.Lines(), ElementsAre("DISC ZK2001I text (5)", "no module", "DISC endpoint ([::1]:4197)",
                                             "TCPS explicit", "DISC body ({\n\t\"a\" : 1\n})"));
}

// The Peer operations hold a code's lines to the process-wide rate; the plain operations
// never do, and a line left out is not written in part.
TEST(Loggable, PeerLinesAreHeldToTheRateOfTheirCode) {
    ZelkorTest::LogCapture capture;
    Module tcps("TCPS");
    tcps.SetLogLevel(3);
    for (int line = 0; line < 30; ++line) {
        tcps.PeerError("ZK7233E Invalid message", line);
        tcps.PeerInfo(std::string("ZK20CBI Closing a connection that sent no line in time"));
        tcps.Warning("ZK7239W Message queue full", line);
    }
    tcps.PeerDetail("ZK78C1I above the level");
    EXPECT_EQ(capture.Count("TCPS ZK7233E Invalid message ("), Zelkor::PeerLineLimit::kBurst);
    EXPECT_EQ(capture.Count("TCPS ZK7233E Invalid message (19)"), 1u);
    EXPECT_EQ(capture.Count("ZK20CBI"), Zelkor::PeerLineLimit::kBurst);
    EXPECT_EQ(capture.Count("ZK7239W"), 30u);
    EXPECT_EQ(capture.Count("ZK78C1I"), 0u);
}

// Parts joined are written one after another, as the text they once were concatenated
// to: numbers as std::to_string writes them, addresses in their text form, a callable as
// what it returns, called only for a line that is written.
TEST(Loggable, JoinedPartsAreWrittenAsOneValueOnlyWhenTheLineIs) {
    ZelkorTest::LogCapture capture;
    Module disc("DISC");
    disc.SetLogLevel(3);
    unsigned calls = 0;
    const auto from = [&calls] {
        ++calls;
        return std::string("(10.77.0.2:4197)");
    };
    const std::string guid = "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13";
    disc.PeerWarning(ZelkorLoggable::Join("ZKE0E1W GUID (", guid, ") at ", boost::asio::ip::make_address("fd00:77::1"),
                                          ", port ", static_cast<unsigned short>(4197), " from ", from),
                     ZelkorLoggable::Join(std::string_view("held").substr(0, 3), ": ", -12, " s"));
    disc.Info(ZelkorLoggable::Join("ZK2001I plain ", 'x', ' ', true));
    EXPECT_THAT(capture.Lines(), ElementsAre("DISC ZKE0E1W GUID (" + guid +
                                                 ") at fd00:77::1, port 4197 from (10.77.0.2:4197) (hel: -12 s)",
                                             "DISC ZK2001I plain x 1"));
    EXPECT_EQ(calls, 1u);
    for (unsigned line = 0; line < 2 * Zelkor::PeerLineLimit::kBurst; ++line) {
        disc.PeerWarning(ZelkorLoggable::Join("ZKE0E2W refused, from ", from));
    }
    EXPECT_EQ(capture.Count("DISC ZKE0E2W refused, from (10.77.0.2:4197)"), Zelkor::PeerLineLimit::kBurst);
    EXPECT_EQ(calls, 1u + Zelkor::PeerLineLimit::kBurst);
}

// The logger is never destroyed, so whatever logs while the process exits finds it whole.
// A logger made on first use would go before a static made earlier; one made among the
// library's statics would go after the application's, which is why the callback is
// watched as well: released at exit, it was destroyed with it.
TEST(Loggable, StaticsMayLogWhileTheProcessExits) {
    EXPECT_EXIT(
        {
            static LogsAtExit late;
            ZelkorLog::TheLog().SetLevel(3);
            auto state = std::make_shared<SinkState>();
            ZelkorLog::TheLog().RegisterExternalLogger(
                [state](std::string& line) { std::cerr << "at exit: " << line << std::endl; });
            state.reset();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        AllOf(HasSubstr("at exit: EXIT static destroyed\n"), Not(HasSubstr("sink released"))));
}

// The process-wide logger, never destroyed, writes the counts still waiting to its console
// as the process exits. Run in a fresh process: a capture elsewhere in this one would have
// given the logger a callback for good.
TEST(Loggable, CountsLeftOutAreWrittenAsTheProcessExits) {
    const std::string style = ::testing::GTEST_FLAG(death_test_style);
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_EXIT(
        {
            std::cout.rdbuf(std::cerr.rdbuf());
            ZelkorLog::TheLog().SetLevel(3);
            ZelkorLog::TheLog().SetWriteFile(false);
            Module peer("TCPS");
            for (unsigned line = 0; line < Zelkor::PeerLineLimit::kBurst + 4; ++line) {
                peer.PeerError("ZKE0E0E refused");
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), HasSubstr("ZLOG ZK8002I 4 lines of ZKE0E0E left out\n"));
    ::testing::GTEST_FLAG(death_test_style) = style;
}
