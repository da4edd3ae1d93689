#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/ZelkorLog.h"
#include "storage/EventStore.h"
#include "storage/LogRow.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using Zelkor::EventStore;
using Zelkor::EventStoreLimits;

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

std::vector<std::string> filesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class EventStoreTest : public ::testing::Test {
protected:
    std::string logFile() const { return dir.File(EventStore::kFileName); }

    // One more event, then the save.
    static bool storeOneAndSave(EventStore& store) {
        EXPECT_TRUE(store.StoreEvent("{}"));
        return store.Save();
    }

    void storePriorities(EventStore& store, const std::vector<unsigned>& priorities) {
        for (unsigned priority : priorities) {
            ASSERT_TRUE(store.StoreEvent("{\"priority\":" + std::to_string(priority) + "}"));
        }
    }

    ZelkorTest::TempDir dir;
    ZelkorTest::ScopedChdir inDir{dir.Path()};
    ZelkorTest::LogCapture log;
};

}  // namespace

TEST_F(EventStoreTest, NumbersEventsFromOneAndReplacesTheCallersNumber) {
    ZelkorLog::TheLog().SetLevel(4);
    EventStore store;
    ASSERT_TRUE(store.StoreEvent(R"({"seqno":7,"priority":2,"event":"x","extra":[1,2]} // comment)"));
    LOGROW row{99, -5, 1, "cat", "ev"};
    ASSERT_TRUE(store.StoreEvent(row));
    EXPECT_EQ(row.seqno, 2u);

    EXPECT_EQ(
        retrieve(store, -5),
        (std::vector<std::string>{R"({"event":"x","extra":[1,2],"priority":2,"seqno":1})",
                                  R"({"category":"cat","event":"ev","priority":1,"seqno":2,"time":-5})"}));
    EXPECT_EQ(log.Count("JMOD ZK6020I Log event stored ({\"event\":\"x\""), 1u);
    EXPECT_EQ(log.Count("JMOD ZK6018I Log event stored ({\"category\":\"cat\""), 1u);
}

TEST_F(EventStoreTest, RetrievalByNumberCountAndPriority) {
    EventStore store;
    storePriorities(store, {1, 3, 1, 3, 3});
    struct Case {
        long long from;
        unsigned minimumPriority;
        std::vector<std::uint64_t> expected;
    };
    const Case cases[] = {
        {0, 0, {}},
        {-3, 3, {4, 5}},
        {-3, 0, {3, 4, 5}},
        {-10, 0, {1, 2, 3, 4, 5}},
        {LLONG_MIN, 3, {2, 4, 5}},
        {2, 0, {2, 3, 4, 5}},
        {3, 3, {4, 5}},
        {5, 4, {}},
        {9, 0, {}},
        {-5, 9, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(seqnos(retrieve(store, c.from, c.minimumPriority)), c.expected)
            << "from " << c.from << " minimum " << c.minimumPriority;
    }
}

TEST_F(EventStoreTest, RetrievalKeepsWhatTheCallerHeld) {
    EventStore store;
    storePriorities(store, {0, 0});
    std::vector<std::string> out{"held"};
    store.RetrieveEvents(-2, 0, out);
    store.RetrieveEvents(2, 0, out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(seqnos({out[0], out[1]}), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(out[2], "held");
    EXPECT_EQ(seqnos({out[3]}), std::vector<std::uint64_t>{2});
}

TEST_F(EventStoreTest, RefusesTextsThatAreNotEventObjects) {
    EventStore store;
    const std::string refused[] = {
        "",
        "not json",
        "5",
        "[1]",
        "null",
        R"("text")",
        R"({"priority":"high"})",
        R"({"priority":-1})",
        R"({"priority":4294967296})",
        R"({"priority":{}})",
        "{\"a\":" + std::string(200, '[') + std::string(200, ']') + "}",
    };
    for (const auto& text : refused) {
        EXPECT_FALSE(store.StoreEvent(text)) << text;
    }
    EXPECT_EQ(log.Count("JMOD ZK6019E Invalid JSON event string"), std::size(refused));
    EXPECT_TRUE(retrieve(store, -100).empty());

    ASSERT_TRUE(store.StoreEvent("{}"));
    EXPECT_EQ(retrieve(store, -1), std::vector<std::string>{R"({"seqno":1})"});
}

TEST_F(EventStoreTest, SavedLinesLoadBackUnchangedAndNumberingContinues) {
    const std::string fileLines =
        "{\"seqno\":41,\"priority\":2,\"zeta\":true,\"alpha\":null}\n"
        "{ \"priority\" : 0, \"seqno\" : 3 }\n";
    ZelkorTest::WriteFile(logFile(), fileLines);
    {
        EventStore store;
        EXPECT_TRUE(store.Load());
        EXPECT_EQ(seqnos(retrieve(store, -10)), (std::vector<std::uint64_t>{41, 3}));
        EXPECT_EQ(seqnos(retrieve(store, 41)), (std::vector<std::uint64_t>{41, 3}));
        LOGROW row{0, 10, 1, "c", "e"};
        store.StoreEvent(row);
        EXPECT_EQ(row.seqno, 42u);
        ASSERT_TRUE(store.Save());
    }
    EXPECT_EQ(ZelkorTest::ReadFile(logFile()),
              fileLines + R"({"category":"c","event":"e","priority":1,"seqno":42,"time":10})" + "\n");

    EventStore reloaded;
    EXPECT_TRUE(reloaded.Load());
    ASSERT_TRUE(reloaded.StoreEvent("{}"));
    EXPECT_EQ(seqnos(retrieve(reloaded, -10)), (std::vector<std::uint64_t>{41, 3, 42, 43}));
}

TEST_F(EventStoreTest, BadLinesAreLoggedAndSkipped) {
    ZelkorTest::WriteFile(logFile(),
                          "{\"seqno\":1}\n"
                          "\n"
                          "garbage\n"
                          "5\n"
                          "{\"seqno\":\"two\"}\n"
                          "{\"seqno\":2,\"priority\":-1}\n"
                          "{\"seqno\":3,\"priority\":1}\n");
    EventStore store;
    EXPECT_FALSE(store.Load());
    EXPECT_EQ(seqnos(retrieve(store, -10)), (std::vector<std::uint64_t>{1, 3}));
    EXPECT_EQ(log.Count("JMOD ZK6002E JsonModel load failed (line "), 5u);
    EXPECT_EQ(log.Count("(line 2: "), 1u);
    EXPECT_EQ(log.Count("(line 6: "), 1u);
    for (const auto& line : log.Lines()) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    }

    // The skipped lines are gone from the rewritten file; the good ones are kept.
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(ZelkorTest::ReadFile(logFile()), "{\"seqno\":1}\n{\"seqno\":3,\"priority\":1}\n");
}

TEST_F(EventStoreTest, NoFileIsAnEmptyLogThatSaveCreates) {
    EventStore store;
    EXPECT_FALSE(store.Load());
    EXPECT_TRUE(log.Lines().empty());
    ASSERT_TRUE(store.Save());
    EXPECT_TRUE(std::filesystem::exists(logFile()));
    EXPECT_EQ(ZelkorTest::ReadFile(logFile()), "");
}

TEST_F(EventStoreTest, ExistingFileThatWasNotReadIsNotReplaced) {
    const std::string kept = "{\"seqno\":5}\n";
    ZelkorTest::WriteFile(logFile(), kept);
    EventStore store;
    EXPECT_FALSE(storeOneAndSave(store));
    EXPECT_EQ(ZelkorTest::ReadFile(logFile()), kept);
    EXPECT_EQ(log.Count("JMOD ZK60A1W Event log not written: the existing file was not read"), 1u);
}

TEST_F(EventStoreTest, FileThatCannotBeReadIsNotReplaced) {
    // A folder in the log's place opens but does not read, whoever runs the test.
    std::filesystem::create_directory(logFile());
    EventStore store;
    EXPECT_FALSE(store.Load());
    EXPECT_EQ(log.Count("JMOD ZK6002E JsonModel load failed (" + logFile()), 1u);
    EXPECT_FALSE(store.Save());
    EXPECT_EQ(log.Count("JMOD ZK60A1W Event log not written: the existing file was not read"), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(logFile()));
}

TEST_F(EventStoreTest, RewriteReplacesTheFileWholeAndKeepsItsMode) {
    const std::string before = "{\"seqno\":1}\n";
    ZelkorTest::WriteFile(logFile(), before);
    ASSERT_EQ(chmod(logFile().c_str(), 0640), 0);
    // A second name for the old file: an in-place rewrite would change what it shows.
    const std::string oldName = dir.File("old.log");
    std::filesystem::create_hard_link(logFile(), oldName);

    EventStore store;
    ASSERT_TRUE(store.Load());
    ASSERT_TRUE(storeOneAndSave(store));

    EXPECT_EQ(ZelkorTest::ReadFile(oldName), before);
    EXPECT_EQ(ZelkorTest::ReadFile(logFile()), before + "{\"seqno\":2}\n");
    EXPECT_EQ(filesIn(dir.Path()), (std::vector<std::string>{"event.log", "old.log"}));
    struct stat info {};
    ASSERT_EQ(stat(logFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(EventStoreTest, LogThatIsALinkStaysALink) {
    std::filesystem::create_directory(dir.File("keep"));
    const std::string real = dir.File("keep/real.log");
    ZelkorTest::WriteFile(real, "{\"seqno\":1}\n");
    std::filesystem::create_symlink(real, logFile());

    EventStore store;
    ASSERT_TRUE(store.Load());
    ASSERT_TRUE(storeOneAndSave(store));
    EXPECT_TRUE(std::filesystem::is_symlink(logFile()));
    EXPECT_EQ(ZelkorTest::ReadFile(real), "{\"seqno\":1}\n{\"seqno\":2}\n");
    EXPECT_EQ(filesIn(dir.File("keep")), std::vector<std::string>{"real.log"});
}

TEST_F(EventStoreTest, FailedRewriteLeavesNoTemporaryFile) {
    EventStore store;
    store.Load();
    // A folder that appears where the log should go: the new file cannot take its place.
    std::filesystem::create_directories(dir.File("event.log/inside"));
    EXPECT_FALSE(storeOneAndSave(store));
    EXPECT_EQ(log.Count("JMOD ZK60A2E Event log file not written (" + logFile() + ": "), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("event.log/inside")));
    EXPECT_EQ(filesIn(dir.Path()), std::vector<std::string>{"event.log"});
}

TEST_F(EventStoreTest, FileStaysWhereTheStoreWasMade) {
    EventStore store;
    EXPECT_EQ(store.FilePath(), std::filesystem::path(logFile()));
    store.Load();

    ZelkorTest::TempDir elsewhere;
    ZelkorTest::ScopedChdir moved(elsewhere.Path());
    ASSERT_TRUE(storeOneAndSave(store));
    EXPECT_EQ(ZelkorTest::ReadFile(logFile()), "{\"seqno\":1}\n");
    EXPECT_TRUE(filesIn(elsewhere.Path()).empty());
}

TEST_F(EventStoreTest, OldestEventsGiveWayAndNumbersNeverComeBack) {
    EventStore byCount(EventStoreLimits{3, 1u << 20});
    storePriorities(byCount, {0, 0, 0, 0, 0});
    EXPECT_EQ(seqnos(retrieve(byCount, -10)), (std::vector<std::uint64_t>{3, 4, 5}));
    EXPECT_TRUE(retrieve(byCount, 1).empty());
    EXPECT_EQ(seqnos(retrieve(byCount, 3)), (std::vector<std::uint64_t>{3, 4, 5}));

    // Each of these texts is 26 bytes ({"priority":0,"seqno":N}); 60 bytes hold two.
    EventStore byBytes(EventStoreLimits{100, 60});
    storePriorities(byBytes, {0, 0, 0, 0});
    EXPECT_EQ(seqnos(retrieve(byBytes, -10)), (std::vector<std::uint64_t>{3, 4}));

    // The highest number survives trimming even when a lower one was loaded after it.
    ZelkorTest::WriteFile(logFile(), "{\"seqno\":41}\n{\"seqno\":3}\n");
    EventStore loaded(EventStoreLimits{1, 1u << 20});
    EXPECT_TRUE(loaded.Load());
    EXPECT_EQ(seqnos(retrieve(loaded, -10)), std::vector<std::uint64_t>{3});
    ASSERT_TRUE(loaded.StoreEvent("{}"));
    EXPECT_EQ(seqnos(retrieve(loaded, -10)), std::vector<std::uint64_t>{42});
}

TEST_F(EventStoreTest, ConcurrentStoresGetDistinctNumbers) {
    EventStore store;
    constexpr int kThreads = 4;
    constexpr int kEach = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&store] {
            for (int i = 0; i < kEach; ++i) {
                LOGROW row{0, i, 1, "t", "e"};
                store.StoreEvent(row);
                std::vector<std::string> out;
                store.RetrieveEvents(-1, 0, out);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto numbers = seqnos(retrieve(store, -100000));
    ASSERT_EQ(numbers.size(), static_cast<std::size_t>(kThreads * kEach));
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_EQ(numbers[i], i + 1);
    }
}
