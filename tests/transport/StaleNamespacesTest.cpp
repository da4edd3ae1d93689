// A test process killed before its namespaces' destructors ran leaves them behind; the
// next namespace made removes them, by the process id in their names, and only them: a
// running process's namespaces and names of any other shape are left alone.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

bool Exists(const std::string& name) { return std::filesystem::exists("/var/run/netns/" + name); }

// The id of a process that has ended and been reaped.
pid_t EndedProcess() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

TEST(StaleNamespaces, NamesUniqueNameGaveAreReadBackAndNoOthers) {
    EXPECT_EQ(ProcessOfName(UniqueName("a")), static_cast<long>(getpid()));
    EXPECT_EQ(ProcessOfName("zk4321flood2"), 4321);
    for (const char* other : {"zk4321", "zkfoo", "zk", "xzk4321a", "zk04321a", "zk12345678a", "ZK4321a", "netns1"}) {
        EXPECT_EQ(ProcessOfName(other), 0) << other;
    }
    EXPECT_THROW(UniqueName("2a"), std::invalid_argument);
    EXPECT_THROW(UniqueName(""), std::invalid_argument);
}

TEST(StaleNamespaces, ANewNamespaceRemovesThoseOfEndedProcessesAndNoOther) {
    const NetNamespace kept("kept");
    if (!kept.Made()) {
        GTEST_SKIP() << "needs root and ip netns";
    }
    const std::string ended = std::to_string(EndedProcess());
    const std::string stale = "zk" + ended + "flood";
    const std::vector<std::string> foreign{"zk" + ended, "zkx" + ended + "a", "x" + stale};
    for (const auto& name : foreign) {
        ASSERT_TRUE(Ip("netns add " + name)) << name;
    }
    ASSERT_TRUE(Ip("netns add " + stale));

    const NetNamespace fresh("fresh");
    EXPECT_TRUE(fresh.Made());
    EXPECT_FALSE(Exists(stale));
    EXPECT_TRUE(Exists(kept.Name()));
    for (const auto& name : foreign) {
        EXPECT_TRUE(Exists(name)) << name;
        Ip("netns del " + name);
    }
}

}  // namespace
}  // namespace ZelkorTest
