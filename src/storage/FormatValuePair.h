#pragma once
// One value of a multi-value request or reply: the format it is asked in, the value,
// and what the storage found (type word, array mark, error text, accessible mark).
//
// A plain copyable value with public fields; the storage and the services fill them
// directly. No sharing, no locking: one thread at a time per object.

#include <string>

#include <json/json.h>

namespace Zelkor {

class FormatValuePair {
public:
    // Value from text: under the formats "norm" and "number" a text that reads as a
    // number becomes a JSON number (whole numbers as integers), any other text stays a
    // JSON string.
    FormatValuePair(const std::string& format, const std::string& valueText, bool isArray);
    // Value from text by format, then by descriptor type: "norm"/"number" give a number,
    // "string" keeps the text; else type "boolean", "float" and "integer" convert, any
    // other type keeps the text.
    FormatValuePair(const std::string& format, const std::string& type, const std::string& valueText,
                    bool isArray);
    FormatValuePair(const std::string& format, const std::string& type, const char* valueText, bool isArray);
    // The value as given, unconverted.
    FormatValuePair(const std::string& format, const std::string& type, const Json::Value& value,
                    bool isArray);

    // The leading number of `text` (blanks and a sign allowed before it; decimal or
    // hexadecimal, as stored "float" values are), independent of the process locale; 0.0
    // when there is none or it is not a finite double.
    double stod(const std::string& text) const;

    // "format: value", or "format: err=error" when there is an error.
    std::string ToString() const;
    // "value", or "error: error" when there is an error.
    std::string ToList() const;

    std::string format;
    std::string type;
    Json::Value value;
    bool isArray = false;
    std::string error;
    // Cleared by the storage for a value it does not show (locked or write-only).
    bool accessible = true;
    // The requester gave no format; the one in `format` was put in for it.
    bool formatDefaulted = false;
};

}  // namespace Zelkor
