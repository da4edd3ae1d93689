#pragma once
// Base of every class that logs: a module name and levelled log operations that all
// write through the one process-wide logger (ZelkorLog::TheLog()).
//
// A call whose level is above the logger's level costs one atomic read; no text is built.
// A line that a peer can cause at will (a refusal, a dropped or malformed line or
// datagram, a connection closed for what its peer did) is logged with the Peer...
// operations: written at a bounded rate per message code (ZelkorLog, PeerLineLimit), so
// that a peer repeating it cannot fill the disk. Its first value begins with the code; a
// line left out costs the logger's mutex and builds no text. A text made of several parts
// is given as Join(code and text, parts...), which writes them one after another only when
// the line is written: a flood of a refused request then builds nothing. A part may be a
// callable that returns its text, called only then.
// The setting operations configure the process-wide logger, whichever object they are
// called on. Thread rules are those of ZelkorLog: any thread may log.

#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/ZelkorLog.h"

namespace Json {
class Value;
}

namespace ZelkorLogDetail {

inline void Append(std::string& out, const std::string& value) { out += value; }
inline void Append(std::string& out, const char* value) {
    if (value) {
        out += value;
    }
}
inline void Append(std::string& out, char* value) { Append(out, static_cast<const char*>(value)); }
inline void Append(std::string& out, std::string_view value) { out += value; }
// The JSON library's default stream form (styled, tab-indented, over several lines). Its
// inserter lives in a header of its own, which not every logging class includes.
void Append(std::string& out, const Json::Value& value);

// Integers in decimal, as std::to_string writes them; a callable as the text it returns,
// called only now; everything else with its stream inserter: file positions as offsets,
// addresses and endpoints in the networking library's text form.
template <class T>
void Append(std::string& out, const T& value) {
    if constexpr (std::is_same_v<T, signed char> || std::is_same_v<T, unsigned char>) {
        out += std::to_string(static_cast<int>(value));
    } else if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>) {
        out += std::to_string(value);
    } else if constexpr (std::is_invocable_v<const T&>) {
        Append(out, value());
    } else {
        std::ostringstream stream;
        stream << value;
        out += stream.str();
    }
}

// Parts of one value, written one after another. It holds references to the parts, so it
// lives only as an argument of the log call that made it (ZelkorLoggable::Join).
template <class... Parts>
struct Joined {
    std::tuple<const Parts&...> parts;
};

template <class... Parts>
void Append(std::string& out, const Joined<Parts...>& joined) {
    std::apply([&out](const auto&... part) { (Append(out, part), ...); }, joined.parts);
}

}  // namespace ZelkorLogDetail

class ZelkorLoggable {
public:
    ZelkorLoggable() = default;
    explicit ZelkorLoggable(std::string moduleName) : _moduleName(std::move(moduleName)) {}

    const std::string& LogModuleName() const { return _moduleName; }
    void SetLogModuleName(std::string name) { _moduleName = std::move(name); }

    unsigned long LogLevel() const { return ZelkorLog::TheLog().GetLevel(); }
    void SetLogLevel(unsigned long level) const { ZelkorLog::TheLog().SetLevel(level); }

    int GetAppError() const { return ZelkorLog::TheLog().GetAppError(); }
    int GetOSError() const { return ZelkorLog::TheLog().GetOSError(); }
    void SetAppError(int value) const { ZelkorLog::TheLog().SetAppError(value); }
    void SetOSError(int value) const { ZelkorLog::TheLog().SetOSError(value); }

    void SetWriteConsole(bool on) const { ZelkorLog::TheLog().SetWriteConsole(on); }
    void SetWriteFile(bool on) const { ZelkorLog::TheLog().SetWriteFile(on); }
    void SetWritePrelog(bool on) const { ZelkorLog::TheLog().SetWritePrelog(on); }
    void SetSyslogSupport(bool on) const { ZelkorLog::TheLog().SetSyslogSupported(on); }

    void SetLogPath(const std::string& path) const { ZelkorLog::TheLog().SetPath(path); }
    void SetLogPrefix(const std::string& prefix) const { ZelkorLog::TheLog().SetPrefix(prefix); }
    void SetLogSuffix(const std::string& suffix) const { ZelkorLog::TheLog().SetSuffix(suffix); }
    void SetLogBase(const std::string& base) const { ZelkorLog::TheLog().SetBase(base); }

    void RegisterExternalLogger(std::function<void(std::string&)> logger) const {
        ZelkorLog::TheLog().RegisterExternalLogger(std::move(logger));
    }

    void Write(const std::string& text) const { ZelkorLog::TheLog().Write(text); }

    // One value of `parts`, written one after another only when the line is written; the
    // first begins with the message code. Only as an argument of a log call.
    template <class... Parts>
    static ZelkorLogDetail::Joined<Parts...> Join(const Parts&... parts) {
        return ZelkorLogDetail::Joined<Parts...>{std::tie(parts...)};
    }

    // Log(level, value): one value, this object's module name.
    template <class A>
    void Log(unsigned long level, const A& a) const {
        if (enabled(level)) {
            emit(_moduleName, a);
        }
    }
    // Log(level, value, module): one value under the given module name.
    template <class A>
    void Log(unsigned long level, const A& a, const std::string& module) const {
        if (enabled(level)) {
            emit(module, a);
        }
    }
    // Log(level, value, value, module): the second value is written in parentheses.
    template <class A, class B>
    void Log(unsigned long level, const A& a, const B& b, const std::string& module) const {
        if (enabled(level)) {
            emit(module, a, b);
        }
    }

    template <class A> void Error(const A& a) const { Log(1, a); }
    template <class A> void Warning(const A& a) const { Log(2, a); }
    template <class A> void Info(const A& a) const { Log(3, a); }
    template <class A> void Summary(const A& a) const { Log(4, a); }
    template <class A> void Detail(const A& a) const { Log(5, a); }
    template <class A> void Trace(const A& a) const { Log(6, a); }
    template <class A> void Debug(const A& a) const { Log(7, a); }

    template <class A, class B> void Error(const A& a, const B& b) const { Log(1, a, b, _moduleName); }
    template <class A, class B> void Warning(const A& a, const B& b) const { Log(2, a, b, _moduleName); }
    template <class A, class B> void Info(const A& a, const B& b) const { Log(3, a, b, _moduleName); }
    template <class A, class B> void Summary(const A& a, const B& b) const { Log(4, a, b, _moduleName); }
    template <class A, class B> void Detail(const A& a, const B& b) const { Log(5, a, b, _moduleName); }
    template <class A, class B> void Trace(const A& a, const B& b) const { Log(6, a, b, _moduleName); }
    template <class A, class B> void Debug(const A& a, const B& b) const { Log(7, a, b, _moduleName); }

    template <class A> void PeerError(const A& a) const { peerLog(1, a); }
    template <class A> void PeerWarning(const A& a) const { peerLog(2, a); }
    template <class A> void PeerInfo(const A& a) const { peerLog(3, a); }
    template <class A> void PeerDetail(const A& a) const { peerLog(5, a); }

    template <class A, class B> void PeerError(const A& a, const B& b) const { peerLog(1, a, b); }
    template <class A, class B> void PeerWarning(const A& a, const B& b) const { peerLog(2, a, b); }
    template <class A, class B> void PeerInfo(const A& a, const B& b) const { peerLog(3, a, b); }
    template <class A, class B> void PeerDetail(const A& a, const B& b) const { peerLog(5, a, b); }

private:
    template <class A>
    static std::string_view codeOf(const A& a) {
        if constexpr (std::is_convertible_v<const A&, std::string_view>) {
            return Zelkor::PeerLineLimit::CodeOf(std::string_view(a));
        } else {
            return std::string_view();
        }
    }
    template <class... Parts>
    static std::string_view codeOf(const ZelkorLogDetail::Joined<Parts...>& joined) {
        return codeOf(std::get<0>(joined.parts));
    }
    // A C text may be null.
    static std::string_view codeOf(const char* a) { return a ? codeOf(std::string_view(a)) : std::string_view(); }
    static std::string_view codeOf(char* a) { return codeOf(static_cast<const char*>(a)); }

    template <class A, class... B>
    void peerLog(unsigned long level, const A& a, const B&... b) const {
        if (enabled(level) && ZelkorLog::TheLog().AdmitPeerLine(codeOf(a))) {
            emit(_moduleName, a, b...);
        }
    }

    // Level 0 silences everything, even a line logged at level 0.
    static bool enabled(unsigned long level) {
        const unsigned long current = ZelkorLog::TheLog().GetLevel();
        return current != 0 && current >= level;
    }

    template <class A>
    static void emit(const std::string& module, const A& a) {
        std::string line = prefix(module);
        ZelkorLogDetail::Append(line, a);
        ZelkorLog::TheLog().Write(line);
    }
    template <class A, class B>
    static void emit(const std::string& module, const A& a, const B& b) {
        std::string line = prefix(module);
        ZelkorLogDetail::Append(line, a);
        line += " (";
        ZelkorLogDetail::Append(line, b);
        line += ')';
        ZelkorLog::TheLog().Write(line);
    }
    static std::string prefix(const std::string& module) {
        return module.empty() ? std::string() : module + ' ';
    }

    std::string _moduleName;
};
