#include "core/ZelkorLog.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>
#include <new>
#include <type_traits>
#include <utility>

#include <boost/filesystem/operations.hpp>

namespace {

std::tm utcNow(std::chrono::system_clock::time_point now) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    return parts;
}

}  // namespace

// The logger's mutex, with this thread recorded as its holder for as long as it is held.
class ZelkorLog::Hold {
public:
    explicit Hold(const ZelkorLog& log) : _log(log), _lock(log._mutex) { _log._holder.store(std::this_thread::get_id()); }
    // Only when the mutex is free.
    Hold(const ZelkorLog& log, std::try_to_lock_t) : _log(log), _lock(log._mutex, std::try_to_lock) {
        if (_lock) {
            _log._holder.store(std::this_thread::get_id());
        }
    }
    ~Hold() {
        if (_lock) {
            _log._holder.store(std::thread::id());
        }
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    explicit operator bool() const { return _lock.owns_lock(); }

private:
    const ZelkorLog& _log;
    std::unique_lock<std::mutex> _lock;
};

template <class F>
void ZelkorLog::withLock(F&& change) const {
    if (heldByThisThread()) {
        change();
        return;
    }
    Hold hold(*this);
    change();
}

ZelkorLog::ZelkorLog() = default;
ZelkorLog::~ZelkorLog() { writeLeftOutAtEnd(); }

ZelkorLog& ZelkorLog::TheLog() {
    // Built in place on first use and never destroyed: statics that log while the
    // process exits still find a working logger. Its counts still waiting are written at
    // exit, after the statics made since its first use are gone.
    static std::aligned_storage_t<sizeof(ZelkorLog), alignof(ZelkorLog)> storage;
    static ZelkorLog* const log = [] {
        ZelkorLog* const made = ::new (&storage) ZelkorLog();
        std::atexit(&ZelkorLog::writeLeftOutAtExit);
        return made;
    }();
    return *log;
}

void ZelkorLog::writeLeftOutAtExit() { TheLog().writeLeftOutAtEnd(); }

void ZelkorLog::SetLevel(unsigned long level) {
    _level.store(level > kMaxLevel ? kMaxLevel : level, std::memory_order_relaxed);
}

std::string ZelkorLog::lockedCopy(const std::string& setting) const {
    std::string value;
    withLock([&] { value = setting; });
    return value;
}

void ZelkorLog::lockedAssign(std::string& setting, const std::string& value) {
    withLock([&] { setting = value; });
}

std::string ZelkorLog::Path() const { return lockedCopy(_path); }
std::string ZelkorLog::Prefix() const { return lockedCopy(_prefix); }
std::string ZelkorLog::Suffix() const { return lockedCopy(_suffix); }
void ZelkorLog::SetPath(const std::string& path) { lockedAssign(_path, path); }
void ZelkorLog::SetPrefix(const std::string& prefix) { lockedAssign(_prefix, prefix); }
void ZelkorLog::SetSuffix(const std::string& suffix) { lockedAssign(_suffix, suffix); }
void ZelkorLog::SetBase(const std::string& base) { lockedAssign(_base, base); }

void ZelkorLog::WriteToSyslog(unsigned long, const std::string&) {}

std::string ZelkorLog::TimeStamp() {
    auto now = std::chrono::system_clock::now();
    std::tm parts = utcNow(now);
    char text[64];
    std::size_t length = std::strftime(text, sizeof text, "%F %T.", &parts);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    if (millis < 0) {
        millis += 1000;
    }
    std::snprintf(text + length, sizeof text - length, "%03d", static_cast<int>(millis));
    return text;
}

bool ZelkorLog::AdmitPeerLine(std::string_view code, Zelkor::PeerLineLimit::Clock::time_point now) {
    if (heldByThisThread()) {
        return false;  // from inside the callback: the line would be dropped anyway
    }
    Hold hold(*this);
    if (_peerLines.Admit(code, now)) {
        return true;
    }
    _leftOutWaiting.store(true, std::memory_order_relaxed);
    return false;
}

void ZelkorLog::WriteDueLeftOut() {
    if (!_leftOutWaiting.load(std::memory_order_relaxed) || heldByThisThread()) {
        return;
    }
    Hold hold(*this);
    tellLeftOutLocked();
}

void ZelkorLog::WriteLeftOut() {
    if (!_leftOutWaiting.load(std::memory_order_relaxed) || heldByThisThread()) {
        return;
    }
    Hold hold(*this);
    tellLeftOutLocked(true);
}

void ZelkorLog::writeLeftOutAtEnd() noexcept {
    // A thread still writing, or the callback itself, is not waited for.
    if (!_leftOutWaiting.load(std::memory_order_relaxed) || heldByThisThread()) {
        return;
    }
    Hold hold(*this, std::try_to_lock);
    if (!hold || _externalLoggerRegistered || _syslogSupported) {
        return;
    }
    try {
        _peerLines.TakeEveryLeftOut([this](std::string_view code, std::uint64_t count) {
            writeToLogFileLocked(leftOutNote(code, count));
        });
    } catch (...) {
        // Nothing is left to report it to.
    }
    _leftOutWaiting.store(_peerLines.LeftOutWaiting(), std::memory_order_relaxed);
}

void ZelkorLog::Write(const std::string& text) {
    if (heldByThisThread()) {
        return;
    }
    Hold hold(*this);
    writeLocked(text);
}

void ZelkorLog::writeLocked(const std::string& text) {
    tellLeftOutLocked();
    writeOneLocked(text);
}

std::string ZelkorLog::leftOutNote(std::string_view code, std::uint64_t count) {
    std::string note = "ZLOG ZK8002I " + std::to_string(count) + (count == 1 ? " line of " : " lines of ");
    if (code.empty()) {
        note += "further codes";
    } else {
        note.append(code.data(), code.size());
    }
    note += " left out";
    return note;
}

void ZelkorLog::tellLeftOutLocked(bool every) {
    if (!_leftOutWaiting.load(std::memory_order_relaxed)) {
        return;
    }
    const auto tell = [this](std::string_view code, std::uint64_t count) { writeOneLocked(leftOutNote(code, count)); };
    if (every) {
        _peerLines.TakeEveryLeftOut(tell);
    } else {
        _peerLines.TakeLeftOut(Zelkor::PeerLineLimit::Clock::now(), tell);
    }
    _leftOutWaiting.store(_peerLines.LeftOutWaiting(), std::memory_order_relaxed);
}

void ZelkorLog::writeOneLocked(const std::string& text) {
    if (_externalLoggerRegistered) {
        std::string line = text;
        // A failing sink must not turn a log call into a failure of the caller: log calls
        // are made from destructors and handlers that cannot take an exception, and the
        // logger reports nothing to its callers, whatever the sink throws.
        try {
            _externalLogger(line);
        } catch (...) {
        }
        return;
    }
    if (_syslogSupported) {
        return;
    }
    writeToLogFileLocked(text);
}

void ZelkorLog::WriteToLogFile(const std::string& text) {
    if (heldByThisThread()) {
        return;
    }
    Hold hold(*this);
    writeToLogFileLocked(text);
}

void ZelkorLog::consoleLine(const std::string& stamp, const std::string& text) {
    std::cout << '\r' << stamp << ' ' << text << '\n';
    std::cout.flush();
}

std::string ZelkorLog::CurrentFileName() const {
    std::string name;
    withLock([&] { name = fileNameLocked(); });
    return name;
}

std::string ZelkorLog::fileNameLocked() const {
    std::string name;
    if (!_path.empty()) {
        name = _path + "/";
    }
    if (_writePrelog) {
        return name + kPrelogName;
    }
    if (!_prefix.empty()) {
        name += _prefix + ".";
    }
    if (!_base.empty()) {
        name += _base;
    } else {
        char date[16];
        std::tm parts = utcNow(std::chrono::system_clock::now());
        std::strftime(date, sizeof date, "%Y%m%d", &parts);
        name += date;
    }
    if (!_suffix.empty()) {
        name += "." + _suffix;
    }
    return name;
}

void ZelkorLog::writeToLogFileLocked(const std::string& text) {
    const std::string stamp = TimeStamp();
    if (_writeConsole) {
        consoleLine(stamp, text);
    }
    if (!_writeFile) {
        return;
    }
    const std::string line = stamp + " " + text;
    if (_writePrelog) {
        writePrelogLine(stamp, line);
    } else {
        writeLogFileLine(stamp, line);
    }
}

void ZelkorLog::writePrelogLine(const std::string& stamp, const std::string& line) {
    std::string name;
    if (_prelogStream.is_open() && movedAside(_prelogFile, _prelogBytes, line.size() + 1, stamp)) {
        // Begun anew in the same file, whatever the path setting says by now.
        name = closePrelog();
    }
    if (!_prelogStream.is_open()) {
        if (name.empty()) {
            name = fileNameLocked();
        }
        _prelogStream.clear();
        _prelogStream.open(name, std::ios::out | std::ios::trunc);
        _prelogBytes = 0;
        if (!_prelogStream.is_open()) {
            return;
        }
        _prelogFile = name;
    }
    _prelogStream << line << '\n';
    _prelogStream.flush();
    _prelogBytes += line.size() + 1;
}

bool ZelkorLog::movedAside(const std::string& name, std::uint64_t held, std::uint64_t adding,
                           const std::string& stamp) {
    const std::uint64_t bound = MaxFileSize();
    if (bound == 0 || held == 0 || held + adding <= bound) {
        return false;
    }
    const std::string old = name + kOldSuffix;
    if (std::rename(name.c_str(), old.c_str()) == 0) {
        return true;
    }
    const int error = errno;
    // Kept in place, the file would grow without bound: its lines are given up instead.
    consoleLine(stamp, "ZLOG ZK8003E Log file not moved aside, begun anew, path : " + name + " (" +
                           std::strerror(error) + ")");
    std::ofstream emptied(name, std::ios::out | std::ios::trunc);
    return true;
}

void ZelkorLog::writeLogFileLine(const std::string& stamp, const std::string& line) {
    const std::string name = fileNameLocked();
    boost::system::error_code sizeError;
    const std::uint64_t held = boost::filesystem::file_size(name, sizeError);
    if (!sizeError) {
        // The early log handed over with this line counts too.
        movedAside(name, held, line.size() + 1 + (_prelogStream.is_open() ? _prelogBytes : 0), stamp);
    }
    std::ofstream logFile(name, std::ios::out | std::ios::app);
    if (!logFile.is_open()) {
        consoleLine(stamp, "ZLOG ZK8001E Log file could not be opened, path : " + name);
        return;
    }
    if (_prelogStream.is_open()) {
        handOverPrelog(name, logFile);
    }
    logFile << line << '\n';
    logFile.flush();
    try {
        logFile.exceptions(std::ios::failbit | std::ios::badbit);
        logFile.close();
    } catch (const std::exception& error) {
        consoleLine(stamp, std::string("ZLOG ZK8001E Exception thrown by close() (") + error.what() + ")");
    }
}

std::string ZelkorLog::closePrelog() {
    _prelogStream.close();
    return std::exchange(_prelogFile, std::string());
}

void ZelkorLog::handOverPrelog(const std::string& logName, std::ofstream& logFile) {
    const std::string prelogName = closePrelog();
    boost::system::error_code error;
    if (boost::filesystem::equivalent(prelogName, logName, error)) {
        // The log file is the early log itself: its lines are already where they belong,
        // and copying the file onto its own end would never finish.
        return;
    }
    std::ifstream prelog(prelogName, std::ios::in | std::ios::binary);
    bool copied = false;
    if (prelog.is_open()) {
        // Copying an empty stream buffer counts as a failed insertion.
        if (prelog.peek() == std::ifstream::traits_type::eof()) {
            copied = true;
        } else {
            logFile << prelog.rdbuf();
            logFile.flush();
            copied = static_cast<bool>(logFile);
        }
        prelog.close();
    }
    logFile.clear();
    // Only a prelog whose lines reached the log file is removed; otherwise it stays on
    // disk where its lines can still be read.
    if (copied) {
        std::remove(prelogName.c_str());
    }
}

void ZelkorLog::RegisterExternalLogger(ExternalLogger logger) {
    // From inside the callback the running sink cannot be replaced under itself.
    if (!logger || heldByThisThread()) {
        return;
    }
    Hold hold(*this);
    _externalLogger = std::move(logger);
    _externalLoggerRegistered = true;
    _writeConsole = false;
    if (_prelogStream.is_open()) {
        std::remove(closePrelog().c_str());
    }
}
