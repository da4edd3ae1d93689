#pragma once
// One parameter of a message: its name and its value(s), normally exactly one.
//
// A text becomes structured JSON only when the whole text is one JSON array or object;
// every other text (scalars, plain words, JSON followed by more words) is kept as the
// text itself, so nothing a caller stored is altered or lost.
//
// Value type; copies are independent. ParameterValue() fills a cache inside the holder,
// so even const use of one holder belongs to one thread at a time.

#include <string>
#include <string_view>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <json/value.h>

#include "core/Param.h"

namespace Zelkor {

class MessageParameter {
public:
    MessageParameter() = default;
    // A null text gives a holder without value.
    MessageParameter(Param name, const char* text);
    MessageParameter(Param name, const std::string& text);
    // One value per element, each read by the rule above.
    MessageParameter(Param name, const std::vector<std::string>& texts);
    MessageParameter(Param name, const Json::Value& value);
    MessageParameter(Param name, Json::Value&& value);

    Param ParameterName() const { return _name; }
    // A string value as it is, any other value as compact JSON; the empty text for an
    // index beyond the values. The pointer stays valid until the next call or change.
    const char* ParameterValue(std::size_t index = 0) const;
    // Copies the value into `out`; `out` is left as it was for an index beyond the values.
    void ParameterJsonValue(Json::Value& out, std::size_t index = 0) const;
    // The value itself, for a reader of a large text that must not copy it; null for an
    // index beyond the values. Valid until the parameter changes.
    const Json::Value* JsonValueAt(std::size_t index = 0) const {
        return index < _values.size() ? &_values[index] : nullptr;
    }

private:
    void addText(std::string_view text);

    Param _name = Param::unknown;
    mutable std::string _textCache;
    // One value is the rule: it is kept in place, without an allocation of its own.
    boost::container::small_vector<Json::Value, 1> _values;
};

}  // namespace Zelkor
