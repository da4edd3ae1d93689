#include "storage/EventStore.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>
#include <utility>

#include <boost/filesystem/operations.hpp>

#include "core/JsonText.h"
#include "storage/FileReplacement.h"
#include "storage/JsonTextIO.h"

namespace Zelkor {

namespace {

constexpr const char* kSeqno = "seqno";
constexpr const char* kPriority = "priority";
// Lines are collected up to this size before they are written.
constexpr std::size_t kWriteChunk = 64 * 1024;

boost::filesystem::path absoluteLogPath() {
    boost::system::error_code ec;
    auto path = boost::filesystem::absolute(EventStore::kFileName, ec);
    return ec ? boost::filesystem::path(EventStore::kFileName) : path;
}

// Whether a file is there, or may be: only a plain "no such file" says it is not.
bool mayExist(const boost::filesystem::path& file) {
    boost::system::error_code ec;
    return boost::filesystem::status(file, ec).type() != boost::filesystem::file_not_found;
}

}  // namespace

EventStore::EventStore() : EventStore(EventStoreLimits()) {}

EventStore::EventStore(EventStoreLimits limits)
    : ZelkorLoggable("JMOD"),
      _limits{std::max<std::size_t>(limits.maxEvents, 1), limits.maxBytes},
      _file(absoluteLogPath()) {}

bool EventStore::Load() {
    std::lock_guard<std::mutex> lock(_mutex);
    _events.clear();
    _index.clear();
    _texts.Clear();
    _lastSeqno = 0;
    _bytes = 0;

    std::ifstream in(_file.string(), std::ios::binary);
    if (!in) {
        // No file is a first start. A file that is there but cannot be opened must
        // survive: mark it so that Save() leaves it alone.
        const bool present = mayExist(_file);
        _fileState = present ? FileState::Unreadable : FileState::Read;
        if (present) {
            Error("ZK6002E JsonModel load failed", _file.string() + ": cannot be opened");
        }
        return false;
    }

    bool whole = true;
    std::string line;
    std::size_t lineNumber = 0;
    std::size_t loaded = 0;
    while (std::getline(in, line)) {
        const bool kept = loadLineLocked(line, ++lineNumber);
        loaded += kept ? 1 : 0;
        whole = kept && whole;
    }
    // Every event read was kept; only the bound let some of the oldest go.
    if (loaded > _events.size()) {
        Warning("ZK60A6W Event log longer than the bound: oldest events dropped",
                loaded - _events.size());
    }
    if (in.bad()) {
        _fileState = FileState::Unreadable;
        Error("ZK6002E JsonModel load failed", _file.string() + ": read error");
        return false;
    }
    _fileState = FileState::Read;
    return whole;
}

bool EventStore::loadLineLocked(const std::string& line, std::size_t lineNumber) {
    Json::Value parsed;
    std::string error;
    if (ParseJsonText(line, parsed, error)) {
        const Json::Value& event = parsed;
        const auto seqno = event.isObject() ? JsonToUInt64(event[kSeqno]) : std::nullopt;
        const auto priority = event.isObject() ? JsonToUInt(event[kPriority]) : std::nullopt;
        if (seqno && priority) {
            keepLocked(*priority, *seqno, line);
            return true;
        }
        error = "not an event object with unsigned \"seqno\" and \"priority\"";
    }
    Error("ZK6002E JsonModel load failed", "line " + std::to_string(lineNumber) + ": " + error);
    return false;
}

bool EventStore::Save() {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!mayReplaceFileLocked()) {
        Warning("ZK60A1W Event log not written: the existing file was not read", _file.string());
        return false;
    }
    return writeFileLocked();
}

bool EventStore::mayReplaceFileLocked() const {
    switch (_fileState) {
    case FileState::Read:
        return true;
    case FileState::Unreadable:
        return false;
    case FileState::NotRead:
        break;
    }
    return !mayExist(_file);
}

bool EventStore::writeFileLocked() {
    FileReplacement file(_file);
    if (!file.IsOpen()) {
        Error("ZK6003 Output event log file not opened", file.Target().string() + ": " + file.Error());
        return false;
    }
    std::string chunk;
    bool written = true;
    for (const auto& entry : _events) {
        _texts.AppendTo(entry.text, chunk);
        chunk += '\n';
        if (chunk.size() >= kWriteChunk) {
            written = file.Write(chunk);
            chunk.clear();
            if (!written) {
                break;
            }
        }
    }
    written = written && file.Write(chunk) && file.Commit();
    if (!written) {
        Error("ZK60A2E Event log file not written", file.Target().string() + ": " + file.Error());
        return false;
    }
    _fileState = FileState::Read;
    return true;
}

bool EventStore::StoreEvent(const std::string& eventJson) {
    Json::Value event;
    std::string error;
    const bool isObject = ParseJsonText(eventJson, event, error) && event.isObject();
    const auto priority =
        isObject ? JsonToUInt(static_cast<const Json::Value&>(event)[kPriority]) : std::nullopt;
    if (!priority) {
        Error("ZK6019E Invalid JSON event string", eventJson);
        return false;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    return storeLocked(event, *priority, "ZK6020I Log event stored").has_value();
}

bool EventStore::StoreEvent(LOGROW& row) {
    Json::Value event(Json::objectValue);
    event["category"] = row.category;
    event["event"] = row.event;
    event[kPriority] = Json::UInt(row.priority);
    event["time"] = Json::Int64(row.time);
    std::lock_guard<std::mutex> lock(_mutex);
    const auto seqno = storeLocked(event, row.priority, "ZK6018I Log event stored");
    if (!seqno) {
        return false;
    }
    row.seqno = *seqno;
    return true;
}

std::optional<std::uint64_t> EventStore::storeLocked(Json::Value& event, unsigned priority,
                                                     const char* logText) {
    if (_lastSeqno == std::numeric_limits<std::uint64_t>::max()) {
        // The next number would wrap to 0, before every number in use: the new event
        // could never be fetched by number.
        Error("ZK60A7E Event not stored: the event numbers are used up");
        return std::nullopt;
    }
    const std::uint64_t seqno = _lastSeqno + 1;
    event[kSeqno] = Json::UInt64(seqno);
    std::string text = WriteCompactJson(event);
    Summary(logText, text);
    keepLocked(priority, seqno, std::move(text));
    return seqno;
}

std::size_t EventStore::CostOf(const std::string& text) { return CostOf(text.size()); }

std::size_t EventStore::CostOf(std::size_t textLength) {
    // Its list node, its index node and the allocator's header of each: peers' short
    // rows would otherwise cost far more than the byte bound says.
    constexpr std::size_t kAllocatorHeader = 16;
    constexpr std::size_t kListNode = 2 * sizeof(void*) + sizeof(Entry);
    constexpr std::size_t kIndexNode = 4 * sizeof(void*) + sizeof(Index::value_type);
    return kListNode + kIndexNode + 2 * kAllocatorHeader + textLength;
}

void EventStore::keepLocked(unsigned priority, std::uint64_t seqno, std::string text) {
    _bytes += CostOf(text);
    _events.push_back(Entry{priority, seqno, _texts.Add(text)});
    _index[seqno] = std::prev(_events.end());
    _lastSeqno = std::max(_lastSeqno, seqno);
    trimLocked();
}

void EventStore::trimLocked() {
    while (_events.size() > _limits.maxEvents || (_bytes > _limits.maxBytes && _events.size() > 1)) {
        const auto oldest = _events.begin();
        const auto indexed = _index.find(oldest->seqno);
        if (indexed != _index.end() && indexed->second == oldest) {
            _index.erase(indexed);
        }
        _bytes -= CostOf(oldest->text.length);
        _texts.RemoveOldest(oldest->text);
        _events.pop_front();
    }
}

EventStore::Entries::const_iterator EventStore::firstSelectedLocked(long long from) const {
    if (from < 0) {
        // Negated in unsigned arithmetic: the lowest long long has no positive counterpart.
        const unsigned long long wanted = 0ULL - static_cast<unsigned long long>(from);
        const auto count = static_cast<std::ptrdiff_t>(std::min<unsigned long long>(wanted, _events.size()));
        return std::prev(_events.cend(), count);
    }
    const auto start = from > 0 ? _index.find(static_cast<std::uint64_t>(from)) : _index.end();
    return start == _index.end() ? _events.cend() : Entries::const_iterator(start->second);
}

bool EventStore::RetrieveEvents(long long from, unsigned minimumPriority, std::vector<std::string>& out) {
    std::vector<std::string> picked;
    RetrieveEventsUpTo(from, minimumPriority, std::numeric_limits<std::size_t>::max(), picked);
    // The last |from| go in front of what the caller holds; the rest follow it.
    const auto at = from < 0 ? out.begin() : out.end();
    out.insert(at, std::make_move_iterator(picked.begin()), std::make_move_iterator(picked.end()));
    return true;
}

bool EventStore::RetrieveEventsUpTo(long long from, unsigned minimumPriority, std::size_t maxBytes,
                                    std::vector<std::string>& out) {
    std::lock_guard<std::mutex> lock(_mutex);
    std::size_t copied = 0;
    for (auto it = firstSelectedLocked(from); it != _events.cend() && copied < maxBytes; ++it) {
        if (it->priority >= minimumPriority) {
            copied += it->text.length;
            out.push_back(_texts.Copy(it->text));
        }
    }
    return true;
}

}  // namespace Zelkor
