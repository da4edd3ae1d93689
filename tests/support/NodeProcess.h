#pragma once
// The node runner (examples/zelkor_node) as a child process of a test, talked to through
// its standard streams: its event lines are read from its stdout and awaited with a
// deadline, commands are written to its stdin. It may run inside a network namespace
// (through `ip netns exec`, which execs the runner, so the child's pid is the node's).
// Its stderr, the node's log, stays the test's unless the test names a file for it.
//
// Ownership: the object owns the child and both pipes; the destructor stops the child
// (SIGTERM, then SIGKILL) and reaps it, so no test leaves a node behind.
// Threads: one test thread uses the object; every wait is bounded by its deadline (by
// default a ceiling for a loaded machine, not an expected time). A
// reader thread of the object's own takes the child's stdout as it comes, so that a node
// whose lines nobody awaits for a while never blocks on a full pipe.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <json/value.h>

namespace ZelkorTest {

class NodeProcess {
public:
    using Match = std::function<bool(const Json::Value&)>;

    // Starts the runner with `arguments`; inside namespace `netns` when it is not empty,
    // in folder `workDir` when that is not empty (the node keeps its event log there),
    // its log written to `logFile` (made anew) when that is not empty.
    explicit NodeProcess(const std::vector<std::string>& arguments, const std::string& netns = "",
                         const std::string& workDir = "", const std::string& logFile = "");
    ~NodeProcess();
    NodeProcess(const NodeProcess&) = delete;
    NodeProcess& operator=(const NodeProcess&) = delete;

    bool Started() const { return _pid > 0; }
    pid_t Pid() const { return _pid; }

    // The next event line, from those not yet taken, that `match` accepts; lines before it
    // are passed over. Null when none came by the deadline or stdout ended.
    Json::Value Await(const Match& match, std::chrono::milliseconds deadline = std::chrono::seconds(30));
    // The next line whose "event" is `event`.
    Json::Value AwaitEvent(const std::string& event, std::chrono::milliseconds deadline = std::chrono::seconds(30));
    // Every stdout line read so far, as text.
    std::vector<std::string> Lines() const;

    // Writes one command line (a "\n" is added); false when stdin is closed.
    bool Send(const std::string& line);
    void CloseInput();
    // Sends `signal`. SIGSTOP returns true only once the child has stopped (every thread):
    // the kernel stops it when its threads next run, so under load it may otherwise still
    // serve what the test sends after the call. Bounded by `deadline`.
    bool Signal(int signal, std::chrono::milliseconds deadline = std::chrono::seconds(30));

    // The exit code once the child has ended by itself within the deadline (128 plus the
    // signal number when a signal ended it); nothing otherwise.
    std::optional<int> Wait(std::chrono::milliseconds deadline = std::chrono::seconds(30));
    // SIGTERM, then SIGKILL when it has not ended after `grace`; reaps it and returns the
    // exit code as Wait does (the code kept from before when it had ended already).
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(30));

private:
    // The reader thread: cuts stdout into lines until it ends or the object goes.
    void read();
    bool reap(std::chrono::steady_clock::time_point until);
    bool awaitStopped(std::chrono::steady_clock::time_point until);

    pid_t _pid = -1;
    int _pidFd = -1;
    int _stdin = -1;
    int _stdout = -1;
    // Written to end the reader thread.
    int _wake[2] = {-1, -1};
    std::optional<int> _exitCode;
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<std::string> _lines;
    bool _ended = false;
    std::size_t _taken = 0;
    std::thread _reader;
};

}  // namespace ZelkorTest
