#pragma once
// One node runner as a child process, driven through pipes without ever blocking: its
// standard input takes command lines from a queue as fast as it reads them, its standard
// output is cut into lines as it comes, its standard error (the node's log) goes to a
// file. The caller's poll loop watches Output(), and Input() while WantsFlush().
//
// The child runs in a process group of its own (a Ctrl-C in the terminal reaches the soak
// tool, which then stops its nodes in order) and is killed by the kernel if the tool
// dies first. Ownership: the object owns the child and its pipes; destroying it kills a
// child still running and reaps it. Threads: one thread uses the object.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ZelkorSoak {

class RunnerProcess {
public:
    RunnerProcess() = default;
    ~RunnerProcess();
    RunnerProcess(const RunnerProcess&) = delete;
    RunnerProcess& operator=(const RunnerProcess&) = delete;

    // Starts `program` with `arguments` in `folder`, its standard error appended to
    // `logFile`; false, with `error`, when it could not be started.
    bool Start(const std::string& program, const std::vector<std::string>& arguments, const std::string& folder,
               const std::string& logFile, std::string& error);

    pid_t Pid() const { return _pid; }
    // Started and not yet reaped.
    bool Alive() const { return _pid > 0 && !_exitCode; }

    // Queues one line (a "\n" is added) for standard input.
    void Write(const std::string& line);
    // Bytes queued and not yet taken by the child.
    std::size_t Backlog() const { return _queued.size(); }
    bool WantsFlush() const { return !_queued.empty() && _stdin >= 0; }
    // Writes what the pipe takes now.
    void Flush();
    int Input() const { return _stdin; }
    int Output() const { return _stdout; }

    // Reads what standard output holds now and appends its complete lines to `lines`;
    // false once the output has ended.
    bool Read(std::vector<std::string>& lines);

    void Signal(int signal);
    // The exit code once the child has ended (128 plus the signal that ended it);
    // looks without waiting.
    std::optional<int> Reap();

private:
    void closeAll();

    pid_t _pid = -1;
    int _stdin = -1;
    int _stdout = -1;
    std::optional<int> _exitCode;
    std::string _queued;
    std::string _partial;
};

}  // namespace ZelkorSoak
