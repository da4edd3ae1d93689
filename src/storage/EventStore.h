#pragma once
// A node's event log: events numbered in the order they are stored, fetched by number
// and minimum priority, read from and written back to the file "event.log".
//
// Ownership: owned by the parameter model, which calls Load() once when it is built and
// Save() when it goes away; the store itself never touches the file on its own.
// Threads: every operation may be called from any thread; one mutex serialises them,
// file reading and writing included.

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory_resource>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <json/json.h>

#include "core/ZelkorLoggable.h"
#include "storage/LogRow.h"
#include "storage/RowTexts.h"

namespace Zelkor {

// How much the log keeps in memory, its bookkeeping counted in the bytes. Peers can add
// events, so the log is bounded; the oldest events give way first (a file longer than the bound loses its oldest events when
// it is read, and says how many). At least the newest event is always kept.
struct EventStoreLimits {
    std::size_t maxEvents = 100000;
    std::size_t maxBytes = 64u * 1024u * 1024u;
};

class EventStore : private ZelkorLoggable {
public:
    static constexpr const char* kFileName = "event.log";

    // The file is "event.log" in the working folder at construction; a later change of
    // the working folder does not move it.
    EventStore();
    explicit EventStore(EventStoreLimits limits);
    EventStore(const EventStore&) = delete;
    EventStore& operator=(const EventStore&) = delete;

    // Replaces the events held with those of the file. Lines that are not event objects
    // are logged and skipped. True when the whole file was read without such a line;
    // false when there is no file, it cannot be read, or a line was skipped.
    bool Load();
    // Writes every event, one line each, to a temporary file that then replaces the
    // log, so a failure never leaves a half-written log behind. Refused (false, file
    // untouched) when an existing file was not read by Load(). True when the new file is
    // in place.
    bool Save();

    // Stores a JSON object text under the next number (its own "seqno" is replaced).
    // False, with nothing stored, when the text is not a JSON object or its "priority"
    // is not an unsigned number, or when the numbers are used up (below).
    bool StoreEvent(const std::string& eventJson);
    // Stores a record and writes the number it got into row.seqno. False, with nothing
    // stored and row.seqno untouched, only when the numbers are used up: once an event
    // holds the largest unsigned 64-bit number, no number is left that would sort after
    // it, and the log takes no more events.
    bool StoreEvent(LOGROW& row);
    // Copies event texts whose priority is at least `minimumPriority`:
    //  from == 0: nothing;
    //  from < 0: of the last |from| events, put in front of what `out` holds, oldest first;
    //  from > 0: from the event numbered `from` to the newest, appended; nothing when no
    //            event has that number.
    // Always true.
    bool RetrieveEvents(long long from, unsigned minimumPriority, std::vector<std::string>& out);
    // The same events, oldest first, appended to `out`; the copying stops after the text
    // that brings the bytes copied to `maxBytes` or beyond. Always true.
    bool RetrieveEventsUpTo(long long from, unsigned minimumPriority, std::size_t maxBytes,
                            std::vector<std::string>& out);

    const boost::filesystem::path& FilePath() const { return _file; }

    // What an event of this text costs against the byte bound: the text and what the
    // store holds beside it.
    static std::size_t CostOf(const std::string& text);
    static std::size_t CostOf(std::size_t textLength);

private:
    struct Entry {
        unsigned priority;
        std::uint64_t seqno;
        RowTexts::Ref text;
    };
    using Entries = std::pmr::list<Entry>;
    using Index = std::pmr::map<std::uint64_t, Entries::iterator>;
    enum class FileState { NotRead, Read, Unreadable };

    bool loadLineLocked(const std::string& line, std::size_t lineNumber);
    // Numbers `event`, writes it and keeps it; the number, or nothing when none is left.
    std::optional<std::uint64_t> storeLocked(Json::Value& event, unsigned priority,
                                             const char* logText);
    void keepLocked(unsigned priority, std::uint64_t seqno, std::string text);
    // The first entry of the selection RetrieveEvents describes; end() for none.
    Entries::const_iterator firstSelectedLocked(long long from) const;
    void trimLocked();
    bool mayReplaceFileLocked() const;
    bool writeFileLocked();

    const EventStoreLimits _limits;
    const boost::filesystem::path _file;
    FileState _fileState = FileState::NotRead;
    // The rows' list and index nodes, all of two sizes, come from pools of their own, as
    // their texts come from pages (RowTexts), and for the same reason.
    std::pmr::unsynchronized_pool_resource _nodes;
    Entries _events{&_nodes};
    // Number -> its entry; a number stored twice points at the later entry.
    Index _index{&_nodes};
    // Highest number ever kept, so that trimming never lets a number come back.
    std::uint64_t _lastSeqno = 0;
    RowTexts _texts;
    std::size_t _bytes = 0;
    mutable std::mutex _mutex;
};

}  // namespace Zelkor
