#pragma once
// A child process for the benchmarks that run a node (or the bare pong) beside them: its
// standard input held open (a node stops at its end) and given command lines, its standard
// output read line by line or drained, its standard error (a node's log) the bench's own or
// written to a file; ended and reaped with the object.
//
// Ownership: the object owns the child and both pipes. Threads: one bench thread uses it;
// the drain reads on a thread of its own.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace ZelkorBench {

class Child {
public:
    using Clock = std::chrono::steady_clock;

    Child(const std::vector<std::string>& arguments, const std::string& folder, const std::string& errorFile = {}) {
        std::vector<std::string> parts = arguments;
        std::vector<char*> argv;
        for (auto& part : parts) {
            argv.push_back(part.data());
        }
        argv.push_back(nullptr);
        int input[2];
        int output[2];
        if (::pipe2(input, O_CLOEXEC) != 0) {
            return;
        }
        if (::pipe2(output, O_CLOEXEC) != 0) {
            ::close(input[0]);
            ::close(input[1]);
            return;
        }
        _pid = ::fork();
        if (_pid == 0) {
            if (::dup2(input[0], STDIN_FILENO) < 0 || ::dup2(output[1], STDOUT_FILENO) < 0 ||
                (!folder.empty() && ::chdir(folder.c_str()) != 0)) {
                ::_exit(127);
            }
            if (!errorFile.empty()) {
                const int error = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (error < 0 || ::dup2(error, STDERR_FILENO) < 0) {
                    ::_exit(127);
                }
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        _stdin = input[1];
        _stdout = output[0];
    }

    ~Child() {
        if (_stdin >= 0) {
            ::close(_stdin);
        }
        if (_pid > 0) {
            // The end of its input stops a node, the end of the connection the pong.
            const auto until = Clock::now() + std::chrono::seconds(5);
            int status = 0;
            while (::waitpid(_pid, &status, WNOHANG) == 0) {
                if (Clock::now() > until) {
                    ::kill(_pid, SIGKILL);
                    ::waitpid(_pid, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        // The end of the process ended its output, and the drain with it.
        if (_drain.joinable()) {
            _drain.join();
        }
        if (_stdout >= 0) {
            ::close(_stdout);
        }
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The child's process id (-1 when it could not be started).
    pid_t Pid() const { return _pid; }

    // Writes `line` and a "\n" to the child's standard input (a node's command); false when
    // it could not be written whole. The caller ignores SIGPIPE, or a child that ended
    // ends the bench too.
    bool Send(const std::string& line) {
        const std::string text = line + "\n";
        std::size_t done = 0;
        while (_stdin >= 0 && done < text.size()) {
            const ssize_t written = ::write(_stdin, text.data() + done, text.size() - done);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(written);
        }
        return done == text.size();
    }

    // The next line holding `text`, lines before it passed over; empty when none came
    // within the deadline or the output ended.
    std::string AwaitLine(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        const auto until = Clock::now() + deadline;
        for (;;) {
            for (auto end = _buffer.find('\n'); end != std::string::npos; end = _buffer.find('\n')) {
                std::string line = _buffer.substr(0, end);
                _buffer.erase(0, end + 1);
                if (line.find(text) != std::string::npos) {
                    return line;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd watched{_stdout, POLLIN, 0};
            if (_stdout < 0 || left <= 0 || ::poll(&watched, 1, static_cast<int>(left)) <= 0) {
                return {};
            }
            char chunk[4096];
            const ssize_t count = ::read(_stdout, chunk, sizeof chunk);
            if (count <= 0) {
                return {};
            }
            _buffer.append(chunk, static_cast<std::size_t>(count));
        }
    }

    // From now on the output is read and dropped on a thread of its own (AwaitLine is
    // done with): a node writes a line per exec it runs, and a full pipe would stop it.
    void Drain() {
        if (_stdout < 0 || _drain.joinable()) {
            return;
        }
        _drain = std::thread([fd = _stdout] {
            char chunk[4096];
            while (::read(fd, chunk, sizeof chunk) > 0) {
            }
        });
    }

private:
    pid_t _pid = -1;
    int _stdin = -1;
    int _stdout = -1;
    std::string _buffer;
    std::thread _drain;
};

}  // namespace ZelkorBench
