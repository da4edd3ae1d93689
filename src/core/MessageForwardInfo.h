#pragma once
// The routing header of a message line: the optional sender hash, the target and source
// node lists, and after parsing the line's command word and JSON body.
//
// Line front as written:  [hash ][[targets][sources] ][@]command
//   hash     decimal counter, optionally "-" and four hexadecimal digits of the sender id
//   targets  next hop first, final destination last, names joined by "&"
//   sources  nearest hop first, originator last
//
// A forward info is a value: copies are deep and independent. One object is used by one
// thread at a time. Parsing never throws on malformed input (allocation failure aside);
// a rejected line is logged once at level Error and reported by an empty result.
//
// Node names come from peers (discovery replies, list entries) and end up inside the
// line, so only names of the path alphabet (0-9, A-Z, a-z, "-", ".", "_") are taken in.
// A list given with any other name is refused whole, and the refusal is remembered: the
// header then cannot be written, so that the line is not sent rather than sent without
// its route (and answered by the wrong node).

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <json/value.h>

#include "core/ZelkorLoggable.h"

namespace Zelkor {

class MessageForwardInfo : public ZelkorLoggable {
public:
    using PathList = std::vector<std::string>;

    MessageForwardInfo();
    MessageForwardInfo(const MessageForwardInfo&) = default;
    MessageForwardInfo(MessageForwardInfo&&) = default;
    MessageForwardInfo& operator=(const MessageForwardInfo&) = default;
    // Every received message takes its line's header this way, into a header made empty:
    // the texts that are empty on both sides, most of them, are passed over.
    MessageForwardInfo& operator=(MessageForwardInfo&& other) noexcept;
    ~MessageForwardInfo() = default;
    // Lists from "&"-separated texts, as SetTargetPaths and SetSourcePaths take them.
    // Objects made this way log without a module name.
    MessageForwardInfo(const std::string& targets, const std::string& sources,
                       const std::string& deviceName);

    // Cuts at every "&" and trims each piece; a trailing "&" adds nothing. A piece with a
    // character outside the path alphabet refuses the whole text: it is logged (ZK5106E),
    // the list is left empty and the result is false.
    static bool SplitPaths(const std::string& text, PathList& list);
    static std::string GetPaths(const PathList& list);

    // The route alone, for a header kept to send on later (a subscriber's): the path lists,
    // the own name and whether a list was refused; no hash and none of the line's texts,
    // which may be large and would otherwise be kept once per stored header.
    MessageForwardInfo RouteOnly() const;
    // Everything but the body (its text and its parsed value), for the header of a reply:
    // a file block's body is large and a reply carries none of it.
    MessageForwardInfo WithoutBody() const;

    std::string GetSourcePaths() const { return GetPaths(_sourcePaths); }
    std::string GetTargetPaths() const { return GetPaths(_targetPaths); }
    // Replace a list; false when the text was refused, which is remembered until the list
    // is replaced again (here or by PullHeader).
    bool SetSourcePaths(const std::string& text);
    bool SetTargetPaths(const std::string& text);
    // True while a refused list is remembered: the header cannot be written.
    bool HasRefusedPath() const { return _sourcesRefused || _targetsRefused; }
    const PathList& SourceList() const { return _sourcePaths; }
    const PathList& TargetList() const { return _targetPaths; }

    // This node's own name: a header whose only target is this node is written with the
    // lists exchanged, which is how a reply finds its way back.
    void SetDeviceName(const std::string& name) { _deviceName = name; }
    void SetDeviceName(std::string&& name) { _deviceName = std::move(name); }
    const std::string& DeviceName() const { return _deviceName; }

    std::string GetSource() const;             // originator; empty when none
    std::string ImmediateDestination() const;  // next hop; empty when none
    std::string FinalDestination() const;      // last target; empty when none
    bool IsEmpty() const { return _targetPaths.empty() && _sourcePaths.empty(); }

    // One hop of forwarding: with two or more targets the first moves to the front of the
    // sources and `next` becomes the new first target. Otherwise nothing changes, `next`
    // included, and the result is false.
    bool TransitionTargetToSource(std::string& next);
    // Addresses a reply: the two lists change places, each keeping its order.
    void ReversePaths();

    // The parsed command word without its reply mark.
    std::string GetCommand() const;
    // The parsed command word as it stood, "@" included.
    const std::string& CommandText() const { return _command; }

    // The sender id written after the counter: the first four hexadecimal digits of the
    // SHA-256 of `guid`. Neither the hash text nor `hasHash` changes.
    void SetHash(const std::string& guid);

    const std::string& HashText() const { return _hashText; }
    const std::string& SequenceText() const { return _sequenceText; }
    const std::string& IdText() const { return _idText; }
    const std::string& TargetText() const { return _targetText; }
    const std::string& SourceText() const { return _sourceText; }
    // The JSON text: a view into the header, valid while it is neither changed nor moved.
    std::string_view JsonText() const { return std::string_view(_text).substr(_bodyAt, _bodyLength); }
    // The received line a header took (TakeReceived), whole; otherwise the JSON text alone.
    const std::string& Text() const { return _text; }
    // The JSON text without the blanks that may end it.
    std::string_view TrimmedJsonText() const;
    // Null when no body was parsed or it was taken.
    const Json::Value& JsonBody() const { return _json ? *_json : Json::Value::nullSingleton(); }
    // Hands the parsed body over to its reader; the header then holds null (its texts stay).
    Json::Value TakeJsonBody() {
        Json::Value body;
        if (_json) {
            body.swap(*_json);
            _json.reset();
        }
        return body;
    }
    // Swaps the parsed body into `out` (null when there is none); the header then holds
    // null, whatever `out` held before.
    void SwapJsonBodyInto(Json::Value& out) {
        if (_json) {
            out.swap(*_json);
            _json.reset();
        } else if (!out.isNull()) {
            out = Json::Value();
        }
    }
    // The parsed body for a reader that takes its values where they lie and drops it
    // after; null when there is none or it was taken.
    Json::Value* ParsedJsonBody() { return _json && !_json->isNull() ? &*_json : nullptr; }
    // Drops the parsed body, which no reader took (the texts stay).
    void DropJsonBody() { _json.reset(); }
    std::uint64_t Counter() const { return _counter; }

    // Hash part and path part, each followed by one blank, when present. Without a parsed
    // hash text the counter advances and its new value is written. False, with nothing
    // written and the counter left alone, while a refused list is remembered.
    bool PutMessageForwardHeader(std::ostream& out);
    // The header, "@" for a reply, the command word and one blank; false as above.
    bool PutHeader(std::ostream& out, bool request, const char* command);
    // The two above, appended to a text; on false the text is left as it was.
    bool AppendMessageForwardHeader(std::string& out);
    bool AppendHeader(std::string& out, bool request, const char* command);

    // Scans a line into the text fields, the flags and the JSON body; the path lists are
    // not touched. Every field a line may carry is cleared first, so an object reused for
    // another line holds nothing of the previous one but the sender id, the counter and
    // the device name.
    // Without `withBody` the scan ends after the command word: the body is neither read nor
    // checked (a line this node sends may carry a file block of many megabytes).
    bool Parse(const std::string& line, bool withBody = true);
    // Parses a received line and fills the path lists. Returns the command word (with its
    // "@") and, when present and read, one blank and the JSON text, trimmed; empty when
    // the line is empty or rejected.
    std::string PullHeader(const std::string& line, bool withBody = true);
    // PullHeader for a reader that needs no rest text: false when the line is empty or
    // rejected.
    bool ReadReceived(const std::string& line, bool withBody = true);
    // ReadReceived for a line the caller is done with: the header takes its buffer, whole,
    // and reads the body where it lies; `line` is left empty, holding the header's former
    // buffer. The line stays readable through Text(). Unlike the readers above it keeps a
    // line whose body holds more values than a peer may send: the header stands, the body
    // is left unread and BodyOverBound() says so, so that the line can still be answered.
    bool TakeReceived(std::string& line);
    // True when TakeReceived left the body unread for holding more values than a peer may
    // send (kPeerJsonValueLimit): no reader may take it as read, or as empty.
    bool BodyOverBound() const { return _bodyOverBound; }

    // True when the parsed command word carried the reply mark.
    bool isReply = false;
    // True when the written line front carries a sender hash.
    bool hasHash = false;

private:
    bool reject(const char* text, const std::string& line);
    void clearPaths();
    // The word and what stands before it; `bodyAt` is where the JSON text starts (the
    // text's end without `withBody`).
    bool scan(std::string_view text, const std::string& line, bool withBody, std::size_t& bodyAt);
    static std::size_t bodyLengthAt(std::string_view text, std::size_t at);
    // The JSON text read into the parsed body (unless `withBody` is false); `line` is what
    // a refusal logs. With `keepOverBound` a body of too many values is left unread and
    // marked rather than refused.
    bool readBody(const std::string& line, bool withBody, bool keepOverBound = false);
    // A block's body in its fixed form, read without the general JSON reader (which reads
    // the same); false for any other line, which that reader then takes.
    bool readBlockBody();

    std::string _deviceName;
    PathList _sourcePaths;
    PathList _targetPaths;
    std::string _hashText;
    std::string _sequenceText;
    std::string _idText;
    std::string _targetText;
    std::string _sourceText;
    std::string _command;
    // The JSON text, or the whole received line it lies in (TakeReceived).
    std::string _text;
    std::size_t _bodyAt = 0;
    std::size_t _bodyLength = 0;
    std::uint64_t _counter = 0;
    // Only a line with a body has one: every message keeps a header, and most are made
    // empty or lose the body to their reader, so an absent value is neither made nor dropped.
    std::optional<Json::Value> _json;
    bool _sourcesRefused = false;
    bool _targetsRefused = false;
    bool _bodyOverBound = false;
};

}  // namespace Zelkor
