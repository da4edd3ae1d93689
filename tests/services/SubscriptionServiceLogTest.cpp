// Log subscriptions on a device: who a row reaches, which history a "sublog" replays (to
// the new subscriber alone, within its connection's output budget), and "log" requests.

#include "services/SubscriptionServiceTestSupport.h"

#include <climits>

#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

std::string SubLog(const std::string& body, const std::string& source = "ctl") {
    return "[dev][" + source + "] sublog " + body;
}

std::string RowLine(const std::string& source, int seqno, int priority = 0) {
    return "[" + source + R"(][dev] log {"category":"c","event":"e","priority":")" + std::to_string(priority) +
           R"(","seqno":")" + std::to_string(seqno) + R"(","time":")" + std::to_string(100 + seqno) + "\"}";
}

class LogSubscriptionTest : public SubscriptionServiceTest {
protected:
    // Rows 1 to `count` in the tree's event log, of the given priorities in turn.
    void StoreRows(int count, const std::vector<unsigned>& priorities = {0}) {
        for (int i = 1; i <= count; ++i) {
            LOGROW row;
            row.time = 100 + i;
            row.priority = priorities[static_cast<std::size_t>(i - 1) % priorities.size()];
            row.category = "c";
            row.event = "e";
            ASSERT_TRUE(model->StoreEvent(row.to_json()));
        }
    }
    // Row `seqno`, the next, stored as the application logs it; its text to announce.
    std::string Logged(std::uint64_t seqno, unsigned priority = 0) {
        const std::string text = LOGROW{seqno, static_cast<long long>(100 + seqno), priority, "c", "e"}.to_json();
        EXPECT_TRUE(model->StoreEvent(text));
        return text;
    }
};

TEST_F(LogSubscriptionTest, PriorityDecidesWhoSubscribesAndWhatReachesThem) {
    struct Case {
        const char* body;
        const char* reply;
    };
    const Case cases[] = {
        {R"({"priority":4})", "[ctl][dev] @sublog {}"},
        {R"({"priority":5})", R"([ctl][dev] @sublog {"error":"Invalid priority"})"},
        {R"({"priority":-1})", R"([ctl][dev] @sublog {"error":"Invalid priority"})"},
        {"{}", "[ctl][dev] @sublog {}"},
        {R"({"priority":2})", "[ctl][dev] @sublog {}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Answer(a, SubLog(c.body)), c.reply) << c.body;
    }
    EXPECT_EQ(service->LogSubscribers().at(Zelkor::SubscriberKey(a)).priority, 2u);
    Answer(b, SubLog("{}", "ctl2"));

    std::vector<std::string> heard;
    for (unsigned priority : {1u, 2u, 3u}) {
        const std::size_t before = sender.Count();
        LOGROW row{priority, 100 + priority, priority, "c", "e"};
        service->LogEvent(row.to_json());
        for (const auto& line : Since(before)) {
            heard.push_back(line);
        }
    }
    service->LogEvent("not a row");
    EXPECT_EQ(heard, (std::vector<std::string>{RowLine("ctl2", 1, 1), RowLine("ctl", 2, 2), RowLine("ctl2", 2, 2),
                                              RowLine("ctl", 3, 3), RowLine("ctl2", 3, 3)}));

    EXPECT_EQ(Answer(a, "[dev][ctl] unsublog"), "[ctl][dev] @unsublog");
    EXPECT_EQ(Answer(a, "[dev][ctl] unsublog"), "[ctl][dev] @unsublog");
    EXPECT_EQ(service->LogSubscribers().count(Zelkor::SubscriberKey(a)), 0u);
}

TEST_F(LogSubscriptionTest, MarkChoosesTheHistoryReplayedAfterTheReply) {
    StoreRows(10);
    struct Case {
        long long mark;
        std::vector<int> rows;
    };
    const Case cases[] = {
        {-3, {8, 9, 10}}, {7, {7, 8, 9, 10}}, {0, {}}, {99, {}}, {LLONG_MIN, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mark);
        std::vector<std::string> expected = {"[ctl][dev] @sublog {}"};
        for (int seqno : c.rows) {
            expected.push_back(RowLine("ctl", seqno));
        }
        EXPECT_EQ(Request(a, SubLog(R"({"mark":)" + std::to_string(c.mark) + "}")), expected);
    }
}

// Rows replayed to a new subscriber are no news to the others, which would store and
// report them again.
TEST_F(LogSubscriptionTest, ReplayReachesTheNewSubscriberOnlyWithItsOwnHeader) {
    StoreRows(4, {0, 3});
    Answer(a, SubLog("{}"));
    const std::string hashed = "7-abcd [dev][ctl2] sublog " + std::string(R"({"mark":-3,"priority":1})");
    EXPECT_EQ(Request(b, hashed),
              (std::vector<std::string>{"7-abcd [ctl2][dev] @sublog {}", RowLine("ctl2", 2, 3),
                                        RowLine("ctl2", 4, 3)}));
}

// Rows wait for the subscriber's answers one by one, so a long history is not queued
// whole: no more than half the output bound waits, the rest goes as the subscriber
// answers, and every row of it arrives once, in order. A row logged meanwhile follows the
// history; it reaches at once a subscriber whose replay is over. A connection already
// closed gets none.
TEST_F(LogSubscriptionTest, AReplayGoesOnAsItsSubscriberAnswers) {
    StoreRows(9);
    const auto measured = Request(a, SubLog(R"({"mark":-5})"));
    ASSERT_EQ(measured.size(), 6u);
    const std::size_t reply = measured[0].size() + 1;
    const std::size_t row = measured[1].size() + 1;
    sender.SetOutputBudget(b, 2 * (reply + 2 * row + row / 2));
    EXPECT_EQ(Request(b, SubLog(R"({"mark":-6})")),
              (std::vector<std::string>{"[ctl][dev] @sublog {}", RowLine("ctl", 4), RowLine("ctl", 5)}));
    // Answered, but still waiting to be written: nothing more yet.
    EXPECT_TRUE(Request(b, "[dev][ctl] @log {}").empty());
    sender.Written(b);
    const std::size_t before = sender.Count();
    service->LogEvent(Logged(10));
    // To A, whose replay is over; B has rows 6 to 9 to come first.
    EXPECT_EQ(Since(before), (std::vector<std::string>{RowLine("ctl", 10)}));
    std::vector<std::string> replayed;
    for (int answer = 0; answer < 4; ++answer) {
        sender.Written(b);
        for (const auto& line : Request(b, "[dev][ctl] @log {}")) {
            replayed.push_back(line);
        }
    }
    EXPECT_EQ(replayed, (std::vector<std::string>{RowLine("ctl", 6), RowLine("ctl", 7), RowLine("ctl", 8),
                                                 RowLine("ctl", 9), RowLine("ctl", 10)}));
    EXPECT_FALSE(service->LogSubscribers().at(Zelkor::SubscriberKey(b)).replaying);

    // A connection gone by the time the rows would follow its reply (the reply's write
    // failed, say) has no bound left to stop at: it gets none of them.
    sender.Close(a);
    EXPECT_EQ(Request(a, SubLog(R"({"mark":1})")), std::vector<std::string>{"[ctl][dev] @sublog {}"});
}

// Other output waiting on the connection (a file's blocks, a long reply) holds back no
// replay: once its own rows are answered, the next goes whatever waits. A row logged
// meanwhile comes with the replay, in its place, and not again when it is announced; the
// replay ends at the log's end even when the newest row is below its priority.
TEST_F(LogSubscriptionTest, AReplayNeitherWaitsOnOthersOutputNorRepeatsLiveRows) {
    StoreRows(4, {3, 3, 3, 0});
    sender.SetOutputBudget(b, 1 << 20);
    sender.SendReply(b, std::string(70000, 'x'), "", "get");
    EXPECT_EQ(Request(b, SubLog(R"({"mark":1,"priority":3})")),
              (std::vector<std::string>{"[ctl][dev] @sublog {}", RowLine("ctl", 1, 3)}));
    const std::string row5 = LOGROW{5, 105, 3, "c", "e"}.to_json();
    ASSERT_TRUE(model->StoreEvent(row5));
    EXPECT_EQ(Request(b, "[dev][ctl] @log {}"), std::vector<std::string>{RowLine("ctl", 2, 3)});
    std::size_t before = sender.Count();
    service->LogEvent(row5);
    EXPECT_TRUE(Since(before).empty());
    // Stored now, announced only once the replay has sent it.
    const std::string row6 = LOGROW{6, 106, 3, "c", "e"}.to_json();
    ASSERT_TRUE(model->StoreEvent(row6));
    std::vector<std::string> rest;
    for (int answer = 0; answer < 4; ++answer) {
        for (const auto& line : Request(b, "[dev][ctl] @log {}")) {
            rest.push_back(line);
        }
    }
    EXPECT_EQ(rest, (std::vector<std::string>{RowLine("ctl", 3, 3), RowLine("ctl", 5, 3), RowLine("ctl", 6, 3)}));
    before = sender.Count();
    service->LogEvent(row6);
    EXPECT_TRUE(Since(before).empty());
    const std::string row7 = LOGROW{7, 107, 3, "c", "e"}.to_json();
    ASSERT_TRUE(model->StoreEvent(row7));
    service->LogEvent(row7);
    EXPECT_EQ(Since(before), std::vector<std::string>{RowLine("ctl", 7, 3)});
}

// A full log lets its oldest rows go while a slow subscriber replays it: the replay goes
// on with the rows still there rather than end where its last row was.
TEST_F(LogSubscriptionTest, AReplayGoesOnWhenItsLastRowHasLeftTheLog) {
    StoreRows(6);
    const std::size_t row = RowLine("ctl", 1).size() + 1;
    sender.SetOutputBudget(b, 2 * (2 * row + row / 2) + 64);
    EXPECT_EQ(Request(b, SubLog(R"({"mark":1})")).size(), 3u);
    model->gone = 4;
    std::vector<std::string> rest;
    for (int answer = 0; answer < 4; ++answer) {
        sender.Written(b);
        for (const auto& line : Request(b, "[dev][ctl] @log {}")) {
            rest.push_back(line);
        }
    }
    EXPECT_EQ(rest, (std::vector<std::string>{RowLine("ctl", 4), RowLine("ctl", 5), RowLine("ctl", 6)}));
}

// Two controllers behind one router, at different paces: rows logged while A's long
// replay runs reach B, whose replay is over, at once, and A after its history, each once
// and in number order. A row announced but never stored is in no replay: it goes at once.
TEST_F(LogSubscriptionTest, RowsLoggedDuringAReplayFollowItsHistory) {
    StoreRows(6);
    const std::size_t row = RowLine("rt&ctlA", 1).size() + 1;
    sender.SetOutputBudget(a, 2 * (2 * row + row / 2) + 64);
    std::vector<std::string> toA = Request(a, SubLog(R"({"mark":1})", "rt&ctlA"));
    sender.Written(a);
    std::vector<std::string> toB = Request(a, SubLog(R"({"mark":-1})", "rt&ctlB"));
    sender.Written(a);
    const auto heard = [&](const std::vector<std::string>& lines) {
        for (const auto& line : lines) {
            (line.rfind("[rt&ctlA]", 0) == 0 ? toA : toB).push_back(line);
        }
    };
    heard(Request(a, "[dev][rt&ctlB] @log {}"));
    std::size_t before = sender.Count();
    service->LogEvent(Logged(7));
    service->LogEvent(LOGROW{99, 199, 0, "c", "e"}.to_json());
    heard(Since(before));
    for (int answer = 0; answer < 6; ++answer) {
        sender.Written(a);
        heard(Request(a, "[dev][rt&ctlA] @log {}"));
    }
    before = sender.Count();
    service->LogEvent(Logged(8));
    heard(Since(before));

    std::vector<std::string> expectedA = {"[rt&ctlA][dev] @sublog {}", RowLine("rt&ctlA", 1), RowLine("rt&ctlA", 2),
                                          RowLine("rt&ctlA", 99)};
    for (int seqno = 3; seqno <= 8; ++seqno) {
        expectedA.push_back(RowLine("rt&ctlA", seqno));
    }
    EXPECT_EQ(toA, expectedA);
    EXPECT_EQ(toB, (std::vector<std::string>{"[rt&ctlB][dev] @sublog {}", RowLine("rt&ctlB", 6), RowLine("rt&ctlB", 7),
                                             RowLine("rt&ctlB", 99), RowLine("rt&ctlB", 8)}));
}

TEST_F(LogSubscriptionTest, LogRequestIsStoredAndAlwaysAnswered) {
    Answer(a, SubLog("{}"));
    const std::string request =
        R"([dev][ctl] log {"seqno":"1","time":"-5","priority":"2","category":"c","event":"hello"})";
    EXPECT_EQ(Request(b, request), std::vector<std::string>{"[ctl][dev] @log {}"});
    std::vector<std::string> rows;
    model->RetrieveEvents(-1, 0, rows);
    ASSERT_EQ(rows.size(), 1u);
    LOGROW row;
    ASSERT_TRUE(row.from_json(rows[0]));
    EXPECT_EQ(row.time, -5);
    EXPECT_EQ(row.event, "hello");

    auto bare = std::make_shared<Zelkor::SubscriptionService>(&sender, nullptr);
    LogCapture log;
    auto message = Create("log");
    std::string error;
    ASSERT_TRUE(message->FromNetworkFormat(true, request, error)) << error;
    Zelkor::MessageSignalData data(a, nullptr, true, std::move(message));
    bare->LogRowSignal().Raise(data);
    EXPECT_EQ(sender.Last(), "@log {}\n");
    EXPECT_TRUE(log.Contains("ZK6506E StoreEvent no storage"));
}

}  // namespace
}  // namespace ZelkorTest
