#include "core/JsonText.h"

#include <cstring>
#include <memory>
#include <sstream>

#include <json/reader.h>
#include <json/writer.h>

namespace Zelkor {

namespace {

Json::CharReaderBuilder lenientBuilder() {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["stackLimit"] = kJsonDepthLimit;
    return builder;
}

Json::CharReaderBuilder strictBuilder() {
    Json::CharReaderBuilder builder = lenientBuilder();
    builder["allowComments"] = false;
    builder["allowTrailingCommas"] = false;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    return builder;
}

JsonReadResult read(Json::CharReader& reader, std::string_view text, Json::Value& out,
                    std::string& errors) {
    try {
        // The reader formats its messages whenever it is given a text for them, also when
        // there are none: a body that reads is read without, and only a malformed one is
        // read again for them.
        if (reader.parse(text.data(), text.data() + text.size(), &out, nullptr)) {
            return JsonReadResult::ok;
        }
        reader.parse(text.data(), text.data() + text.size(), &out, &errors);
        return JsonReadResult::malformed;
    } catch (const Json::Exception& e) {
        errors = e.what();
        return JsonReadResult::tooDeep;
    }
}

// Making a reader costs about as much as parsing a short body, and every received line
// is parsed more than once, so each thread keeps one reader of each kind. A reader
// starts every parse afresh, also after one that gave up on a too deep text.
template <Json::CharReaderBuilder (*Make)()>
Json::CharReader& cachedReader() {
    static const Json::CharReaderBuilder builder = Make();
    thread_local const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return *reader;
}

// A whole JSON value that starts with a bracket is an array or an object, and no other
// value does; a text that starts with anything else is not worth reading.
bool mayBeStructured(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && (text[first] == '{' || text[first] == '[');
}

// Counts what opens or separates a value outside strings: a cheap upper bound of the
// values the reader would make, cut short once past `limit`.
std::size_t valuesIn(std::string_view text, std::size_t limit) {
    std::size_t values = 1;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if ((c == ',' || c == '{' || c == '[') && ++values > limit) {
            break;
        }
    }
    return values;
}

// The library's stream writer, for what has no quicker form.
void appendWritten(std::string& text, const Json::Value& value) {
    constexpr std::size_t kKeptWriterBytes = 64 * 1024;
    static const Json::StreamWriterBuilder builder = [] {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        // A comment would be written on lines of its own and break the one-line form.
        b["commentStyle"] = "None";
        return b;
    }();
    // Making a writer reads the builder's settings and costs about as much as writing a
    // short body: as with the readers, each thread keeps one. A writer starts every write
    // afresh.
    thread_local const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
    // So does making a stream, which sets up its locale: each thread keeps one too, emptied
    // before every write. A write never calls back into this function.
    thread_local std::ostringstream out;
    out.str(std::string());
    out.clear();
    writer->write(value, &out);
    const std::size_t start = text.size();
    if (start == 0) {
        text = out.str();  // a whole body, a file block's among them, is copied only once
    } else {
        text += out.str();
    }
    // A large value's room is not kept for the short ones after it.
    if (text.size() - start > kKeptWriterBytes) {
        std::ostringstream().swap(out);
    }
}

// A scalar's text from the functions the library's writer itself uses, with its settings
// (17 significant digits, no special floats), without going through a stream: most values
// written are scalars, and the stream costs several times the text. False for arrays and
// objects.
bool appendScalar(std::string& out, const Json::Value& value) {
    switch (value.type()) {
        case Json::nullValue:
            out += "null";
            return true;
        case Json::booleanValue:
            out += value.asBool() ? "true" : "false";
            return true;
        case Json::intValue:
            out += Json::valueToString(value.asLargestInt());
            return true;
        case Json::uintValue:
            out += Json::valueToString(value.asLargestUInt());
            return true;
        case Json::realValue:
            out += Json::valueToString(value.asDouble());
            return true;
        case Json::stringValue: {
            const char* begin = nullptr;
            const char* end = nullptr;
            if (!value.getString(&begin, &end)) {
                return false;
            }
            // The library keeps a NUL after every string it holds.
            AppendQuotedJson(out, begin, static_cast<std::size_t>(end - begin));
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

JsonReadResult ReadPeerJson(std::string_view text, Json::Value& out, std::string& errors) {
    if (valuesIn(text, kPeerJsonValueLimit) > kPeerJsonValueLimit) {
        errors = "too many values";
        return JsonReadResult::tooLarge;
    }
    return ReadJson(text, out, errors);
}

JsonReadResult ReadJson(std::string_view text, Json::Value& out, std::string& errors) {
    return read(cachedReader<lenientBuilder>(), text, out, errors);
}

bool ReadWholeJson(std::string_view text, Json::Value& out) {
    Json::Value parsed;
    std::string errors;
    if (read(cachedReader<strictBuilder>(), text, parsed, errors) != JsonReadResult::ok) {
        return false;
    }
    out.swap(parsed);
    return true;
}

bool MayBeStructuredJson(std::string_view text) { return mayBeStructured(text); }

bool ReadStructuredJson(std::string_view text, Json::Value& out) {
    return mayBeStructured(text) && ReadWholeJson(text, out);
}

std::string WriteCompactJson(const Json::Value& value) {
    std::string text;
    AppendCompactJson(text, value);
    return text;
}

void AppendCompactJson(std::string& text, const Json::Value& value) {
    if (!appendScalar(text, value)) {
        appendWritten(text, value);
    }
}

void AppendQuotedJson(std::string& out, const char* text, std::size_t length) {
    // The quoting function reads up to the first NUL: a text holding one goes through the
    // writer, which quotes it whole.
    if (std::memchr(text, 0, length)) {
        appendWritten(out, Json::Value(text, text + length));
    } else {
        out += Json::valueToQuotedString(text);
    }
}

}  // namespace Zelkor
