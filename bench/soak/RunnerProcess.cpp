#include "RunnerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace ZelkorSoak {
namespace {

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int exitCodeOf(int status) { return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status); }

}  // namespace

RunnerProcess::~RunnerProcess() {
    if (Alive()) {
        ::kill(_pid, SIGKILL);
        int status = 0;
        // SIGKILL cannot be caught or held: the wait ends.
        while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    closeAll();
}

void RunnerProcess::closeAll() {
    closeFd(_stdin);
    closeFd(_stdout);
}

bool RunnerProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& folder, const std::string& logFile, std::string& error) {
    if (Alive()) {
        error = "already running";
        return false;
    }
    closeAll();
    _exitCode.reset();
    _queued.clear();
    _partial.clear();
    _pid = -1;

    // Everything the child uses is made before the fork: between fork and exec it only
    // calls what is safe there.
    std::vector<std::string> parts{program};
    parts.insert(parts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& part : parts) {
        argv.push_back(part.data());
    }
    argv.push_back(nullptr);
    const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) {
        error = "cannot open " + logFile + ": " + std::strerror(errno);
        return false;
    }
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        ::close(log);
        return false;
    }
    if (::pipe2(output, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        ::close(log);
        ::close(input[0]);
        ::close(input[1]);
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        // The tool ignores SIGPIPE and blocks its stop signals; the node starts clean.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (::dup2(input[0], STDIN_FILENO) < 0 || ::dup2(output[1], STDOUT_FILENO) < 0 ||
            ::dup2(log, STDERR_FILENO) < 0 || ::chdir(folder.c_str()) != 0) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(log);
    ::close(input[0]);
    ::close(output[1]);
    _stdin = input[1];
    _stdout = output[0];
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(forkError);
        closeAll();
        return false;
    }
    _pid = pid;
    ::fcntl(_stdin, F_SETFL, ::fcntl(_stdin, F_GETFL) | O_NONBLOCK);
    ::fcntl(_stdout, F_SETFL, ::fcntl(_stdout, F_GETFL) | O_NONBLOCK);
    return true;
}

void RunnerProcess::Write(const std::string& line) {
    if (_stdin < 0) {
        return;
    }
    _queued += line;
    _queued += '\n';
    Flush();
}

void RunnerProcess::Flush() {
    while (!_queued.empty() && _stdin >= 0) {
        const ssize_t count = ::write(_stdin, _queued.data(), _queued.size());
        if (count > 0) {
            _queued.erase(0, static_cast<std::size_t>(count));
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && errno == EAGAIN) {
            return;
        } else {
            // The child has gone (EPIPE): nothing more reaches it.
            _queued.clear();
            closeFd(_stdin);
        }
    }
}

bool RunnerProcess::Read(std::vector<std::string>& lines) {
    std::array<char, 65536> chunk{};
    while (_stdout >= 0) {
        const ssize_t count = ::read(_stdout, chunk.data(), chunk.size());
        if (count > 0) {
            _partial.append(chunk.data(), static_cast<std::size_t>(count));
            std::size_t begin = 0;
            for (auto end = _partial.find('\n'); end != std::string::npos; end = _partial.find('\n', begin)) {
                lines.push_back(_partial.substr(begin, end - begin));
                begin = end + 1;
            }
            _partial.erase(0, begin);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno == EAGAIN) {
            return true;
        }
        closeFd(_stdout);
    }
    return false;
}

void RunnerProcess::Signal(int signal) {
    if (Alive()) {
        ::kill(_pid, signal);
    }
}

std::optional<int> RunnerProcess::Reap() {
    if (_exitCode || _pid <= 0) {
        return _exitCode;
    }
    int status = 0;
    const pid_t done = ::waitpid(_pid, &status, WNOHANG);
    if (done == _pid) {
        _exitCode = exitCodeOf(status);
        closeFd(_stdin);
        _queued.clear();
    }
    return _exitCode;
}

}  // namespace ZelkorSoak
