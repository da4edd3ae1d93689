#pragma once
// The one process-wide logger of the library.
//
// Ownership: a single ZelkorLog is created on first use by ZelkorLog::TheLog() and is
// never destroyed, so that objects with static storage may still log while the process
// exits. Tests and tools may create further, independent instances.
//
// Threads: every operation may be called from any thread. Lines are written under one
// mutex, so they never interleave. The application's callback runs with that mutex held;
// a line it logs through the same logger is dropped rather than deadlocking, a
// registration it makes is ignored, and the settings it changes apply from the next line.
//
// Bounds: a line that a peer can cause at will (ZelkorLoggable's Peer... operations) is
// written at PeerLineLimit's rate per message code, and the count of those left out is
// written before a later line ("ZLOG ZK8002I 412 lines of ZK20CEW left out"), or once
// its code could pass again by WriteDueLeftOut, which a periodic caller (the discovery
// timer) calls, or by WriteLeftOut, which the driver's stop calls. What still waits when
// a logger ends (the process-wide one at the process's exit) is written to its console
// and file, not to the application's callback, whose target may be gone by then. A log
// file, the early log included, is kept within MaxFileSize(): a line that would take it
// past the bound first moves the file aside to its name with ".old" appended, replacing
// an older one, and the file begins anew.

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/PeerLineLimit.h"

class ZelkorLog {
public:
    using ExternalLogger = std::function<void(std::string&)>;

    static constexpr unsigned long kMaxLevel = 7;
    static constexpr const char* kPrelogName = "zlkrdev.log";
    // What a log file is moved aside to: its name and this.
    static constexpr const char* kOldSuffix = ".old";
    static constexpr std::uint64_t kDefaultMaxFileSize = 16ull * 1024 * 1024;

    ZelkorLog();
    ~ZelkorLog();
    ZelkorLog(const ZelkorLog&) = delete;
    ZelkorLog& operator=(const ZelkorLog&) = delete;

    // The process-wide logger.
    static ZelkorLog& TheLog();

    int GetAppError() const { return _appError; }
    int GetOSError() const { return _osError; }
    void SetAppError(int value) { _appError = value; }
    void SetOSError(int value) { _osError = value; }

    unsigned long GetLevel() const { return _level.load(std::memory_order_relaxed); }
    // Levels above 7 are stored as 7; 0 silences everything.
    void SetLevel(unsigned long level);

    bool WriteConsole() const { return _writeConsole; }
    bool WriteFile() const { return _writeFile; }
    bool WritePrelog() const { return _writePrelog; }
    bool SyslogSupported() const { return _syslogSupported; }
    // The switches take effect at the next line (the prelog hand-over happens there).
    void SetWriteConsole(bool on) { _writeConsole = on; }
    void SetWriteFile(bool on) { _writeFile = on; }
    void SetWritePrelog(bool on) { _writePrelog = on; }
    void SetSyslogSupported(bool on) { _syslogSupported = on; }

    // The most bytes a log file (the early log too) holds before it is moved aside to
    // NAME.old and begun anew; so each name takes at most twice this on disk. 0: no bound,
    // for an application that moves its files aside itself. Applies from the next line.
    std::uint64_t MaxFileSize() const { return _maxFileSize.load(std::memory_order_relaxed); }
    void SetMaxFileSize(std::uint64_t bytes) { _maxFileSize.store(bytes, std::memory_order_relaxed); }

    std::string Path() const;
    std::string Prefix() const;
    std::string Suffix() const;
    void SetPath(const std::string& path);
    void SetPrefix(const std::string& prefix);
    void SetSuffix(const std::string& suffix);
    // Middle part of the log file name; empty means the current UTC date (YYYYMMDD).
    void SetBase(const std::string& base);

    // The system-log writer has no format of its own: lines given to it are dropped.
    void WriteToSyslog(unsigned long level, const std::string& text);

    // Writes one finished line (module name and text, no stamp, no end-of-line) to the
    // callback, or else to console and file.
    void Write(const std::string& text);
    // Console and file output of one line, stamped; takes the logger's mutex.
    void WriteToLogFile(const std::string& text);

    // Whether a line that a peer can cause at will, of message code `code` (as
    // PeerLineLimit::CodeOf reads it), may be written now; one that may not is counted
    // among those left out. Called by ZelkorLoggable before the line is built.
    // `now`: the limit's clock, given by a caller that keeps its own.
    bool AdmitPeerLine(std::string_view code,
                       Zelkor::PeerLineLimit::Clock::time_point now = Zelkor::PeerLineLimit::Clock::now());

    // Writes the counts of lines left out that are due (their code could pass again) now,
    // without waiting for a later line. Costs one atomic read while none waits.
    void WriteDueLeftOut();
    // Writes every count of lines left out now, due or not: no later line may come.
    void WriteLeftOut();

    // Installs the application's sink in place of an earlier one; from then on every
    // line goes only to it, and the early log is discarded. An empty callback is ignored.
    void RegisterExternalLogger(ExternalLogger logger);

    // "%F %T." and three-digit milliseconds of the current UTC time.
    static std::string TimeStamp();
    // The file the next line goes to, worked out from the current settings.
    std::string CurrentFileName() const;

private:
    class Hold;
    bool heldByThisThread() const { return _holder.load() == std::this_thread::get_id(); }
    // Runs `change` under the mutex, or at once when this thread already holds it (a
    // setting changed from inside the callback).
    template <class F>
    void withLock(F&& change) const;

    std::string lockedCopy(const std::string& setting) const;
    void lockedAssign(std::string& setting, const std::string& value);
    std::string fileNameLocked() const;
    void writeLocked(const std::string& text);
    void writeOneLocked(const std::string& text);
    // Writes the counts of lines left out that are due, ahead of the line to come, or
    // every count with `every`.
    void tellLeftOutLocked(bool every = false);
    static std::string leftOutNote(std::string_view code, std::uint64_t count);
    // The counts still waiting as the logger ends, to its own console and file.
    void writeLeftOutAtEnd() noexcept;
    static void writeLeftOutAtExit();
    void writeToLogFileLocked(const std::string& text);
    void writePrelogLine(const std::string& stamp, const std::string& line);
    void writeLogFileLine(const std::string& stamp, const std::string& line);
    // Moves the file, holding `held` bytes, aside to NAME.old when `adding` more would take
    // it past the bound, or empties it when it cannot be moved: true when it must begin
    // anew.
    bool movedAside(const std::string& name, std::uint64_t held, std::uint64_t adding, const std::string& stamp);
    // Closes the early log and forgets its file, whose name it returns.
    std::string closePrelog();
    void handOverPrelog(const std::string& logName, std::ofstream& logFile);
    static void consoleLine(const std::string& stamp, const std::string& text);

    std::atomic<int> _appError{0};
    std::atomic<int> _osError{0};
    std::atomic<unsigned long> _level{3};
    std::atomic<bool> _writeConsole{true};
    std::atomic<bool> _writeFile{true};
    std::atomic<bool> _writePrelog{true};
    std::atomic<bool> _syslogSupported{false};
    bool _externalLoggerRegistered = false;
    std::string _path;
    std::string _prefix;
    std::string _suffix;
    std::string _base;
    std::atomic<std::uint64_t> _maxFileSize{kDefaultMaxFileSize};
    std::ofstream _prelogStream;
    std::uint64_t _prelogBytes = 0;
    // The file the prelog stream really writes; only that file is ever handed over or
    // deleted, whatever the path setting says by then.
    std::string _prelogFile;
    mutable std::mutex _mutex;
    // The thread inside the mutex, so that re-entry from the callback is recognised.
    mutable std::atomic<std::thread::id> _holder{};
    ExternalLogger _externalLogger;
    Zelkor::PeerLineLimit _peerLines;
    // Whether _peerLines holds counts to write, read without the mutex.
    std::atomic<bool> _leftOutWaiting{false};
};
