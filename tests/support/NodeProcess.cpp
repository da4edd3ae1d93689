#include "support/NodeProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>

#include <json/reader.h>

namespace ZelkorTest {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int exitCodeOf(int status) { return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status); }

Json::Value parseLine(const std::string& line) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(line.data(), line.data() + line.size(), &value, &errors) || !value.isObject()) {
        return Json::Value();
    }
    return value;
}

}  // namespace

NodeProcess::NodeProcess(const std::vector<std::string>& arguments, const std::string& netns,
                         const std::string& workDir, const std::string& logFile) {
    std::vector<std::string> command;
    if (!netns.empty()) {
        command = {"ip", "netns", "exec", netns};
    }
    command.push_back(ZELKOR_NODE_PROGRAM);
    command.insert(command.end(), arguments.begin(), arguments.end());
    // Made before the fork: the child only calls what is safe between fork and exec.
    std::vector<char*> argv;
    for (auto& part : command) {
        argv.push_back(part.data());
    }
    argv.push_back(nullptr);

    // Stdin is a socket, so that a write to a node that has gone fails instead of raising
    // SIGPIPE in the test.
    int input[2];
    int output[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
        return;
    }
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::dup2(input[1], STDIN_FILENO) < 0 || ::dup2(output[1], STDOUT_FILENO) < 0 ||
            (!workDir.empty() && ::chdir(workDir.c_str()) != 0)) {
            ::_exit(127);
        }
        if (!logFile.empty()) {
            const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (log < 0 || ::dup2(log, STDERR_FILENO) < 0) {
                ::_exit(127);
            }
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(input[1]);
    ::close(output[1]);
    _stdin = input[0];
    _stdout = output[0];
    if (pid < 0) {
        closeFd(_stdin);
        closeFd(_stdout);
        return;
    }
    _pid = pid;
    _pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    ::fcntl(_stdout, F_SETFL, ::fcntl(_stdout, F_GETFL) | O_NONBLOCK);
    if (::pipe2(_wake, O_CLOEXEC) != 0) {
        _wake[0] = _wake[1] = -1;
    }
    _reader = std::thread([this] { read(); });
}

NodeProcess::~NodeProcess() {
    if (Started()) {
        Stop();
    }
    if (_reader.joinable()) {
        if (_wake[1] >= 0) {
            const char stop = 0;
            [[maybe_unused]] const auto written = ::write(_wake[1], &stop, 1);
        }
        _reader.join();
    }
    closeFd(_stdin);
    closeFd(_stdout);
    closeFd(_pidFd);
    closeFd(_wake[0]);
    closeFd(_wake[1]);
}

void NodeProcess::read() {
    std::string buffer;
    for (;;) {
        pollfd watch[2] = {{_stdout, POLLIN, 0}, {_wake[0], POLLIN, 0}};
        if (::poll(watch, _wake[0] >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) {
            break;
        }
        if (watch[1].revents != 0) {
            break;
        }
        std::array<char, 4096> data{};
        const ssize_t count = ::read(_stdout, data.data(), data.size());
        if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR)) {
            break;
        }
        if (count < 0) {
            continue;
        }
        buffer.append(data.data(), static_cast<std::size_t>(count));
        std::vector<std::string> lines;
        for (auto end = buffer.find('\n'); end != std::string::npos; end = buffer.find('\n')) {
            lines.push_back(buffer.substr(0, end));
            buffer.erase(0, end + 1);
        }
        if (!lines.empty()) {
            std::lock_guard<std::mutex> lock(_mutex);
            _lines.insert(_lines.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
            _changed.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _ended = true;
    _changed.notify_all();
}

std::vector<std::string> NodeProcess::Lines() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _lines;
}

Json::Value NodeProcess::Await(const Match& match, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    std::unique_lock<std::mutex> lock(_mutex);
    for (;;) {
        while (_taken < _lines.size()) {
            const std::string line = _lines[_taken++];
            lock.unlock();
            Json::Value event = parseLine(line);
            if (!event.isNull() && match(event)) {
                return event;
            }
            lock.lock();
        }
        if (_ended || !_changed.wait_until(lock, until, [this] { return _ended || _taken < _lines.size(); })) {
            // Lines read with the end of stdout were looked at above.
            if (_taken < _lines.size()) {
                continue;
            }
            return Json::Value();
        }
    }
}

Json::Value NodeProcess::AwaitEvent(const std::string& event, std::chrono::milliseconds deadline) {
    return Await([&](const Json::Value& line) { return line["event"] == event; }, deadline);
}

bool NodeProcess::Send(const std::string& line) {
    if (_stdin < 0) {
        return false;
    }
    const std::string text = line + "\n";
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t count = ::send(_stdin, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

void NodeProcess::CloseInput() { closeFd(_stdin); }

bool NodeProcess::Signal(int signal, std::chrono::milliseconds deadline) {
    if (!Started() || _exitCode || ::kill(_pid, signal) != 0) {
        return false;
    }
    return signal != SIGSTOP || awaitStopped(Clock::now() + deadline);
}

bool NodeProcess::awaitStopped(Clock::time_point until) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(_pid, &status, WUNTRACED | WNOHANG);
        if (done == _pid) {
            if (WIFSTOPPED(status)) {
                return true;
            }
            _exitCode = exitCodeOf(status);
            return false;
        }
        if (done < 0 && errno != EINTR) {
            return false;
        }
        // No descriptor tells of a stop: look again shortly.
        const int left = remainingMs(until);
        if (left == 0) {
            return false;
        }
        ::poll(nullptr, 0, std::min(left, 5));
    }
}

bool NodeProcess::reap(Clock::time_point until) {
    if (_exitCode) {
        return true;
    }
    if (!Started()) {
        return false;
    }
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(_pid, &status, WNOHANG);
        if (done == _pid) {
            _exitCode = exitCodeOf(status);
            return true;
        }
        if (done < 0 && errno != EINTR) {
            return false;
        }
        const int left = remainingMs(until);
        if (left == 0) {
            return false;
        }
        // The pidfd becomes readable when the child ends; without one, look again shortly.
        pollfd watch{_pidFd, POLLIN, 0};
        ::poll(&watch, _pidFd >= 0 ? 1 : 0, _pidFd >= 0 ? left : std::min(left, 10));
    }
}

std::optional<int> NodeProcess::Wait(std::chrono::milliseconds deadline) {
    if (reap(Clock::now() + deadline)) {
        return _exitCode;
    }
    return std::nullopt;
}

int NodeProcess::Stop(std::chrono::milliseconds grace) {
    if (!Started()) {
        return -1;
    }
    if (!_exitCode) {
        ::kill(_pid, SIGTERM);
        if (!reap(Clock::now() + grace)) {
            ::kill(_pid, SIGKILL);
            reap(Clock::now() + std::chrono::seconds(10));
        }
    }
    closeFd(_stdin);
    return _exitCode.value_or(-1);
}

}  // namespace ZelkorTest
