// The event log: the event record and its one-line JSON form, numbering, retrieval,
// refused events, and "event.log", which is read whole, rewritten crash-safely and never
// replaced when it could not be read. Rows are compared through their one-line form, whose
// every field the first test pins.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "StorageTestSupport.h"
#include "storage/EventStore.h"
#include "storage/LogRow.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using Zelkor::EventStore;
using ZelkorTest::ReadFile;
using ZelkorTest::WriteFile;

namespace {

std::vector<std::uint64_t> seqnos(const std::vector<std::string>& texts) {
    std::vector<std::uint64_t> numbers;
    for (const auto& text : texts) {
        LOGROW row;
        EXPECT_TRUE(row.from_json(text)) << text;
        numbers.push_back(row.seqno);
    }
    return numbers;
}

std::vector<std::string> retrieve(EventStore& store, long long from, unsigned minimumPriority = 0) {
    std::vector<std::string> out;
    EXPECT_TRUE(store.RetrieveEvents(from, minimumPriority, out));
    return out;
}

class EventStoreTest : public ::testing::Test {
protected:
    std::string logFile() const { return dir.File(EventStore::kFileName); }
    // One more event, then the save.
    static bool storeOneAndSave(EventStore& store) { return store.StoreEvent("{}") && store.Save(); }

    ZelkorTest::TempDir dir;
    ZelkorTest::ScopedChdir inDir{dir.Path()};
    ZelkorTest::LogCapture log;
};

}  // namespace

TEST(LogRow, WritesOneCompactLineInNameOrderAndReadsItBack) {
    const LOGROW row{12, 1700000000, 3, "net", "link \"up\"\n"};
    EXPECT_EQ(row.to_json(),
              R"({"category":"net","event":"link \"up\"\n","priority":3,"seqno":12,"time":1700000000})");
    const LOGROW extremes{18446744073709551615ULL, -9223372036854775807LL - 1, 4294967295U, "", ""};
    for (const LOGROW& sample : {row, extremes}) {
        LOGROW back;
        ASSERT_TRUE(back.from_json(sample.to_json())) << sample.to_json();
        EXPECT_EQ(back.to_json(), sample.to_json());
    }
}

TEST(LogRow, RefusedTextLeavesTheRowAlone) {
    const std::string texts[] = {
        "no brace here", "{\"seqno\":", R"({"seqno":-1})", R"({"time":"now"})",
        R"({"priority":4294967296})", R"({"event":[1]})",
        "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}",
    };
    for (const auto& text : texts) {
        LOGROW row{1, 2, 3, "c", "e"};
        EXPECT_FALSE(row.from_json(text)) << text;
        EXPECT_EQ(row.to_json(), (LOGROW{1, 2, 3, "c", "e"}.to_json()));
    }
}

// Events are numbered from 1 whatever number the caller gave; a text that is no event
// object (or whose priority is no unsigned number) is refused, not thrown.
TEST_F(EventStoreTest, NumbersEventsFromOneAndRefusesTextsThatAreNoEvents) {
    EventStore store;
    const std::string refused[] = {
        "not json", "[1]", R"({"priority":"high"})", R"({"priority":-1})", R"({"priority":4294967296})",
        "{\"a\":" + std::string(200, '[') + std::string(200, ']') + "}",
    };
    for (const auto& text : refused) {
        EXPECT_FALSE(store.StoreEvent(text)) << text;
    }
    ASSERT_TRUE(store.StoreEvent(R"({"seqno":7,"priority":2,"event":"x","extra":[1,2]} // comment)"));
    EXPECT_EQ(retrieve(store, -5), std::vector<std::string>{R"({"event":"x","extra":[1,2],"priority":2,"seqno":1})"});
}

TEST_F(EventStoreTest, RetrievalByNumberCountAndPriority) {
    EventStore store;
    for (unsigned priority : {1, 3, 1, 3, 3}) {
        ASSERT_TRUE(store.StoreEvent("{\"priority\":" + std::to_string(priority) + "}"));
    }
    EXPECT_TRUE(retrieve(store, 0).empty());
    EXPECT_EQ(seqnos(retrieve(store, -3, 3)), (std::vector<std::uint64_t>{4, 5}));
    EXPECT_EQ(seqnos(retrieve(store, LLONG_MIN, 3)), (std::vector<std::uint64_t>{2, 4, 5}));
    EXPECT_EQ(seqnos(retrieve(store, 2)), (std::vector<std::uint64_t>{2, 3, 4, 5}));
    // A count goes in front of what the caller held, a number after it.
    std::vector<std::string> out{R"({"seqno":0})"};
    store.RetrieveEvents(-1, 0, out);
    store.RetrieveEvents(4, 0, out);
    EXPECT_EQ(seqnos(out), (std::vector<std::uint64_t>{5, 0, 4, 5}));

    // A bounded copy takes the same selection oldest first, up to the text that reaches
    // the bound, and appends whatever the form.
    const std::size_t one = retrieve(store, -1).front().size();
    const auto upTo = [&store](long long from, unsigned priority, std::size_t maxBytes) {
        std::vector<std::string> copied{R"({"seqno":0})"};
        EXPECT_TRUE(store.RetrieveEventsUpTo(from, priority, maxBytes, copied));
        return seqnos(copied);
    };
    EXPECT_EQ(upTo(2, 0, 2 * one), (std::vector<std::uint64_t>{0, 2, 3}));
    EXPECT_EQ(upTo(2, 0, 2 * one + 1), (std::vector<std::uint64_t>{0, 2, 3, 4}));
    EXPECT_EQ(upTo(-4, 3, 1), (std::vector<std::uint64_t>{0, 2}));
    EXPECT_EQ(upTo(-4, 3, 0), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(upTo(9, 0, 1000), (std::vector<std::uint64_t>{0}));
}

// A line that is no event is logged and skipped; the lines after it are kept. A log that
// could not be read is never replaced.
TEST_F(EventStoreTest, BadLinesAreSkippedAndALogNotReadIsNeverReplaced) {
    WriteFile(logFile(), "{\"seqno\":1}\n\ngarbage\n{\"seqno\":\"two\"}\n{\"seqno\":3,\"priority\":1}\n");
    EventStore store;
    EXPECT_FALSE(store.Load());
    EXPECT_EQ(log.Count("JMOD ZK6002E JsonModel load failed (line "), 3u);
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(ReadFile(logFile()), "{\"seqno\":1}\n{\"seqno\":3,\"priority\":1}\n");

    // A folder in the log's place opens but does not read, whoever runs the test.
    std::filesystem::remove(logFile());
    std::filesystem::create_directory(logFile());
    EventStore unreadable;
    EXPECT_FALSE(unreadable.Load());
    EXPECT_FALSE(storeOneAndSave(unreadable));
    EXPECT_TRUE(std::filesystem::is_directory(logFile()));
}

// The new log replaces the old one whole: another name of the old file still shows it,
// the mode is kept, a link stays a link, and no temporary file is left. The file stays
// where the store was made, wherever the process works by the time it saves.
TEST_F(EventStoreTest, RewriteReplacesTheFileWhereTheStoreWasMade) {
    std::filesystem::create_directory(dir.File("keep"));
    const std::string real = dir.File("keep/real.log");
    WriteFile(real, "{\"seqno\":1}\n");
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    std::filesystem::create_hard_link(real, dir.File("keep/old.log"));
    std::filesystem::create_symlink(real, logFile());

    EventStore store;
    ASSERT_TRUE(store.Load());
    {
        ZelkorTest::TempDir elsewhere;
        ZelkorTest::ScopedChdir moved(elsewhere.Path());
        ASSERT_TRUE(storeOneAndSave(store));
        EXPECT_TRUE(ZelkorTest::FilesBelow(elsewhere.Path()).empty());
    }
    EXPECT_TRUE(std::filesystem::is_symlink(logFile()));
    EXPECT_EQ(ReadFile(real), "{\"seqno\":1}\n{\"seqno\":2}\n");
    EXPECT_EQ(ReadFile(dir.File("keep/old.log")), "{\"seqno\":1}\n");
    struct stat info {};
    ASSERT_EQ(stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(ZelkorTest::FilesBelow(dir.Path()),
              (std::vector<std::string>{"event.log", "keep", "keep/old.log", "keep/real.log"}));
}

TEST_F(EventStoreTest, OldestEventsGiveWayAndNumbersNeverComeBack) {
    // Each of these texts is 11 bytes ({"seqno":N}); the bound holds two with what the
    // store keeps beside them, not three.
    const std::size_t cost = EventStore::CostOf("{\"seqno\":1}");
    ASSERT_GT(cost, std::string("{\"seqno\":1}").size() + 64);
    EventStore byBytes(Zelkor::EventStoreLimits{100, 3 * cost - 1});
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(byBytes.StoreEvent("{}"));
    }
    EXPECT_EQ(seqnos(retrieve(byBytes, -10)), (std::vector<std::uint64_t>{3, 4}));

    // The highest number survives trimming even when a lower one was loaded after it; a
    // file longer than the bound says how much of it was dropped.
    WriteFile(logFile(), "{\"seqno\":41}\n{\"seqno\":3}\n");
    EventStore loaded(Zelkor::EventStoreLimits{1, 1u << 20});
    EXPECT_TRUE(loaded.Load());
    EXPECT_EQ(log.Count("JMOD ZK60A6W Event log longer than the bound: oldest events dropped (1)"), 1u);
    ASSERT_TRUE(loaded.StoreEvent("{}"));
    EXPECT_EQ(seqnos(retrieve(loaded, -10)), std::vector<std::uint64_t>{42});

    // Past the largest number a new event would be numbered 0, before every other: the log
    // takes no more events.
    WriteFile(logFile(), "{\"seqno\":18446744073709551615}\n");
    EventStore used;
    ASSERT_TRUE(used.Load());
    EXPECT_FALSE(used.StoreEvent("{}"));
    LOGROW row{7, 0, 1, "audio", "clip"};
    EXPECT_FALSE(used.StoreEvent(row));
    EXPECT_EQ(row.seqno, 7u);
    EXPECT_EQ(log.Count("ZK60A7E"), 2u);
    EXPECT_EQ(seqnos(retrieve(used, -10)), std::vector<std::uint64_t>{18446744073709551615u});
}

TEST_F(EventStoreTest, ConcurrentStoresGetDistinctNumbers) {
    EventStore store;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store] {
            for (int i = 0; i < 250; ++i) {
                std::vector<std::string> out;
                store.StoreEvent("{}");
                store.RetrieveEvents(-1, 0, out);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::vector<std::uint64_t> expected(1000);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(seqnos(retrieve(store, -100000)), expected);
}
