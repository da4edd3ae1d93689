#include "core/ZelkorLog.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <new>
#include <type_traits>

namespace {

// Set while this thread is inside Write, so that a callback that logs cannot deadlock
// on the logger's non-recursive mutex; its nested lines are dropped.
thread_local bool tl_writing = false;

class WritingGuard {
public:
    WritingGuard() { tl_writing = true; }
    ~WritingGuard() { tl_writing = false; }
    WritingGuard(const WritingGuard&) = delete;
    WritingGuard& operator=(const WritingGuard&) = delete;
};

std::tm utcNow(std::chrono::system_clock::time_point now) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    return parts;
}

}  // namespace

ZelkorLog::ZelkorLog() = default;
ZelkorLog::~ZelkorLog() = default;

ZelkorLog& ZelkorLog::TheLog() {
    // Built in place on first use and never destroyed: statics that log while the
    // process exits still find a working logger.
    static std::aligned_storage_t<sizeof(ZelkorLog), alignof(ZelkorLog)> storage;
    static ZelkorLog* const log = ::new (&storage) ZelkorLog();
    return *log;
}

void ZelkorLog::SetLevel(unsigned long level) {
    _level.store(level > kMaxLevel ? kMaxLevel : level, std::memory_order_relaxed);
}

std::string ZelkorLog::Path() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _path;
}
std::string ZelkorLog::Prefix() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _prefix;
}
std::string ZelkorLog::Suffix() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _suffix;
}
void ZelkorLog::SetPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(_mutex);
    _path = path;
}
void ZelkorLog::SetPrefix(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(_mutex);
    _prefix = prefix;
}
void ZelkorLog::SetSuffix(const std::string& suffix) {
    std::lock_guard<std::mutex> lock(_mutex);
    _suffix = suffix;
}
void ZelkorLog::SetBase(const std::string& base) {
    std::lock_guard<std::mutex> lock(_mutex);
    _base = base;
}

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

void ZelkorLog::Write(const std::string& text) {
    if (tl_writing) {
        return;
    }
    WritingGuard guard;
    std::lock_guard<std::mutex> lock(_mutex);
    writeLocked(text);
}

void ZelkorLog::writeLocked(const std::string& text) {
    if (_externalLoggerRegistered) {
        std::string line = text;
        _externalLogger(line);
        return;
    }
    if (_syslogSupported) {
        return;
    }
    writeToLogFileLocked(text);
}

void ZelkorLog::WriteToLogFile(const std::string& text) {
    if (tl_writing) {
        return;
    }
    WritingGuard guard;
    std::lock_guard<std::mutex> lock(_mutex);
    writeToLogFileLocked(text);
}

void ZelkorLog::consoleLine(const std::string& stamp, const std::string& text) {
    std::cout << '\r' << stamp << ' ' << text << '\n';
    std::cout.flush();
}

std::string ZelkorLog::CurrentFileName() const {
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
        writePrelogLine(line);
    } else {
        writeLogFileLine(stamp, line);
    }
}

void ZelkorLog::writePrelogLine(const std::string& line) {
    if (!_prelogStream.is_open()) {
        std::string name = CurrentFileName();
        _prelogStream.clear();
        _prelogStream.open(name, std::ios::out | std::ios::trunc);
        if (!_prelogStream.is_open()) {
            return;
        }
        _prelogFile = name;
    }
    _prelogStream << line << '\n';
    _prelogStream.flush();
}

void ZelkorLog::writeLogFileLine(const std::string& stamp, const std::string& line) {
    const std::string name = CurrentFileName();
    std::ofstream logFile(name, std::ios::out | std::ios::app);
    if (!logFile.is_open()) {
        std::cout << '\r' << stamp << " ZLOG ZK8001E Log file could not be opened, path : " << name << '\n';
        std::cout.flush();
        return;
    }
    if (_prelogStream.is_open()) {
        handOverPrelog(logFile);
    }
    logFile << line << '\n';
    logFile.flush();
    try {
        logFile.exceptions(std::ios::failbit | std::ios::badbit);
        logFile.close();
    } catch (const std::exception& error) {
        std::cout << '\r' << stamp << " ZLOG ZK8001E Exception thrown by close() (" << error.what() << ")\n";
        std::cout.flush();
    }
}

void ZelkorLog::handOverPrelog(std::ofstream& logFile) {
    _prelogStream.close();
    std::ifstream prelog(_prelogFile, std::ios::in | std::ios::binary);
    bool copied = false;
    if (prelog.is_open()) {
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
        std::remove(_prelogFile.c_str());
    }
    _prelogFile.clear();
}

void ZelkorLog::RegisterExternalLogger(ExternalLogger logger) {
    if (!logger) {
        return;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _externalLogger = std::move(logger);
    _externalLoggerRegistered = true;
    _writeConsole = false;
    if (_prelogStream.is_open()) {
        _prelogStream.close();
        std::remove(_prelogFile.c_str());
        _prelogFile.clear();
    }
}
