#pragma once
// Base of every protocol message: the command word, the reply flag, the parameters a
// class declares, the routing header and the optional "arguments" payload, with the
// conversion to and from the message line.
//
// Base line form:  [hash ][[targets][sources] ][@]command[ {"name":"text",...}]\n
// Every parameter value travels as a JSON string in the base form; classes with typed
// bodies override ToNetworkFormat/FromNetworkFormat and use the typed writers.
//
// Ownership: a message belongs to whoever made it; Instantiate() and the per-word
// factory functions hand a new message to the caller. Threads: a message is filled and
// read by one thread at a time (GetParameter fills a cache, even on a const message).
// No operation that reads peer text throws (allocation failure aside).

#include <cstddef>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <json/value.h>

#include "core/Conversions.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageParameter.h"
#include "core/MessageParameterSet.h"
#include "core/Param.h"
#include "core/ZelkorLoggable.h"

namespace Zelkor {

class Message : public virtual ZelkorLoggable {
public:
    using NamedParms = std::map<std::string, std::string>;
    using OrderedParms = std::vector<std::string>;

    virtual ~Message() = default;

    // The command word, lower case.
    virtual const char* CommandName() const = 0;
    // The value text; empty when unset and when the value is the parameter's own name.
    virtual std::string GetParamValue(Param p) const;
    virtual std::vector<Param> AllParameterNames() const { return {_declared.begin(), _declared.end()}; }
    virtual bool IsValidParameterName(Param p) const;
    // Parses the JSON that starts at the first "{" or "[" of `text`; a text with neither
    // gives an empty object. On failure `error` says why and the result is false.
    virtual bool ParseJson(const std::string& text, Json::Value& out, std::string& error) const;
    // The whole line with this message's own header, ending in "\n". Empty when a header
    // holds a refused path name: such a line must not be sent.
    virtual std::string Build(bool request) const;
    // `header` written first (its counter may advance), then the line as above. Meant for
    // messages whose own header is empty, so that one header is written. Empty as above,
    // for either header.
    virtual std::string Build(MessageForwardInfo& header, bool request) const;
    // A new, empty message of the same class.
    virtual std::unique_ptr<Message> Instantiate() const = 0;

    // Refused (false) for an undeclared parameter. A null text removes the parameter; an
    // array or object text is stored as that structure, any other text as a string.
    virtual bool SetParameter(Param p, const char* text);
    // Refused for an undeclared parameter; a null value removes it.
    virtual bool SetJsonParameter(Param p, const Json::Value& value);
    // Stores without the declaration check; a null text stores a holder without value.
    virtual void SetParameterDirect(Param p, const char* text);
    virtual std::size_t ParameterCount() const { return _parameters.Size(); }
    // Null when unset; string values as they are, other values as compact JSON. The
    // pointer stays valid until the parameter is read again or changed.
    virtual const char* GetParameter(Param p) const;
    // The set declared parameters in declaration order, each rebuilt from its text.
    virtual std::vector<MessageParameter> GetParameters() const;
    virtual std::vector<Param> GetParamEnums() const;
    // The line without "\n": a copy of the own header, then ToJson(). Empty when the header
    // cannot be written (a refused path name); overriding writers keep to that.
    virtual std::string ToNetworkFormat(bool request) const;
    virtual bool FromNetworkFormat(bool request, const std::string& line, std::string& error);
    // FromNetworkFormat for a line its receiver has parsed already: `line` is the word and
    // JSON text of the line `header` was parsed from (PullHeader). Where the class reads
    // the body through ReadBody, it takes the header's parsed body instead of parsing the
    // text again; the header keeps its route and texts but no parsed body afterwards.
    bool FromReceived(bool request, const std::string& line, MessageForwardInfo& header, std::string& error);
    // "@" for a reply, the word and, unless nothing is set, a blank and the compact object.
    virtual std::string ToJson(bool request) const;
    // Reads a line (header stripped on a copy of the own header) and stores the text of
    // every member whose name is a declared parameter; members holding arrays or objects
    // are skipped. False with `error` set when the line is rejected or its JSON is invalid.
    virtual bool FromJson(bool request, const std::string& line, std::string& error);

    void SetIsReply(bool reply) { _isReply = reply; }
    bool GetIsReply() const { return _isReply; }
    // True when the parameter error is set; `error` then receives its text.
    bool GetIsError(std::string& error) const;
    const MessageForwardInfo& GetMessageForwardInfo() const { return _forwardInfo; }
    // A raw text taken from the header (below) stays what it was.
    void SetMessageForwardInfo(const MessageForwardInfo& info);
    void SetMessageForwardInfo(MessageForwardInfo&& info);
    // The command-and-JSON text of the received line; empty for a message built here.
    const std::string& GetRawText() const;
    void SetRawText(std::string text);
    // The raw text is the word (with its reply mark), one blank and the JSON text of the
    // header set now, as a received line's header holds them.
    void SetRawTextFromHeader() { _rawTextInHeader = true; }
    // `out` = the first value; null when unset; unchanged when set without a value.
    void GetJsonParameter(Json::Value& out, Param p) const;
    // The first value where it is kept, null when unset: a file block's data is read
    // there rather than copied out.
    const Json::Value* JsonParameterAt(Param p) const;

    // Typed writers for classes with their own body: each sets member
    // GetStringFromParam(p) of `object`. A null text gives null.
    static void putNul(Json::Value& object, Param p);
    static void putString(Json::Value& object, Param p, const char* text);
    // Signed 64-bit when the whole text is one ("+"/"-" allowed), else the text as a
    // string; an empty text gives null.
    static void putInt(Json::Value& object, Param p, const char* text);
    // Unsigned 64-bit when the whole text is one ("-" negates modulo 2^64, "+" skipped),
    // else the text as a string; an empty text gives null.
    static void putUint(Json::Value& object, Param p, const char* text);
    // True when the text is "true" in any letter case, else false.
    static void putBool(Json::Value& object, Param p, const char* text);

    // The leading decimal number of the text; 0 when there is none or it is out of range.
    static int stoi(const char* text);
    static int stoi(const std::string& text) { return stoi(text.c_str()); }
    static double stod(const char* text);
    static double stod(const std::string& text) { return stod(text.c_str()); }

    static const char* GetStringFromParam(Param p);
    static Param GetParamFromString(const std::string& name);

    // The "arguments" payload: one of four forms is meaningful at a time.
    // Refused for a null name or value, or while ordered arguments exist.
    bool AddParameter(const char* name, const char* value);
    // Refused for a null value, or while named arguments exist.
    bool AddParameter(const char* value);
    void SetParms(const NamedParms& parms) { _arguments.Get().named = parms; }
    void SetParms(const OrderedParms& parms) { _arguments.Get().ordered = parms; }
    // A text that is one JSON value as a whole becomes the JSON arguments; any other
    // text (words after a value included) the string arguments.
    void SetParms(const std::string& text);
    NamedParms& GetNamedParms() { return _arguments.Get().named; }
    OrderedParms& GetOrderedParms() { return _arguments.Get().ordered; }
    std::string& GetStrParms() { return _arguments.Get().text; }
    Json::Value& GetJsonParms() { return _arguments.Get().json; }
    const NamedParms& GetNamedParms() const { return _arguments.Peek().named; }
    const OrderedParms& GetOrderedParms() const { return _arguments.Peek().ordered; }
    const std::string& GetStrParms() const { return _arguments.Peek().text; }
    const Json::Value& GetJsonParms() const { return _arguments.Peek().json; }
    // Member "arguments" of `object` from the first non-empty form: named, ordered,
    // string, JSON. Nothing when all are empty.
    void ToNetworkParms(Json::Value& object) const;
    // Arrays of scalars append to the ordered arguments, objects of scalars become named
    // arguments; an array or object holding structure is kept whole as JSON arguments
    // (nothing of it goes to the other forms); scalars become the string arguments.
    void FromNetworkParms(const Json::Value& value);

protected:
    explicit Message(std::initializer_list<Param> declared);
    explicit Message(const std::vector<Param>& declared);
    Message(const Message&) = default;
    Message& operator=(const Message&) = default;

    // For overriding writers: the own header (on a copy), "@" for a reply, the word, one
    // blank and the compact body, "{}" included. No "\n". Empty when the header cannot be
    // written.
    std::string WriteLine(bool request, const Json::Value& body) const;
    // For overriding readers: strips the header on a copy of the own header and parses
    // the rest with ParseJson. Within FromReceived, for its line, the body parsed with
    // the header is taken instead.
    bool ReadBody(const std::string& line, Json::Value& body, std::string& error) const;
    // Within FromReceived and for its line: the parsed header of that line; else null.
    const MessageForwardInfo* ReceivedHeader(const std::string& line) const;

private:
    // The parameter a body member's name stands for; Param::unknown for none.
    Param declaredParam(std::string_view name) const;
    // Within FromReceived and for its line: the body its header parsed, while no reader
    // took it; else null.
    Json::Value* receivedBody(const std::string& line) const;
    // Stores the text of every declared member that is not an array or object; the
    // values stored are moved out of `body`.
    void storeMembers(Json::Value& body);

    // The four forms of the "arguments" payload.
    struct Arguments {
        NamedParms named;
        OrderedParms ordered;
        std::string text;
        Json::Value json;
    };
    // Few messages carry arguments: the four forms are made on first use rather than with
    // every message, most of which never touch them. Copies are deep, as a message's are.
    class ArgumentsHolder {
    public:
        ArgumentsHolder() = default;
        ArgumentsHolder(const ArgumentsHolder& other);
        ArgumentsHolder& operator=(const ArgumentsHolder& other);
        ArgumentsHolder(ArgumentsHolder&&) noexcept = default;
        ArgumentsHolder& operator=(ArgumentsHolder&&) noexcept = default;
        ~ArgumentsHolder() = default;

        Arguments& Get();
        // The held forms, or empty ones when none were made.
        const Arguments& Peek() const;

    private:
        std::unique_ptr<Arguments> _held;
    };

    // Every message made declares its names: held in place, as a handful is the rule.
    boost::container::small_vector<Param, 8> _declared;
    bool _isReply = false;
    MessageForwardInfo _forwardInfo;
    // Made from the header when first asked for: most handlers never ask, and the header
    // holds both its parts already.
    mutable std::string _rawText;
    mutable bool _rawTextInHeader = false;
    // Set only while FromReceived runs.
    const std::string* _receivedLine = nullptr;
    MessageForwardInfo* _receivedHeader = nullptr;
    MessageParameterSet _parameters;
    ArgumentsHolder _arguments;
};

}  // namespace Zelkor
