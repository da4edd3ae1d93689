#include "storage/ContainerFormatValue.h"

#include <utility>

#include <boost/range/adaptor/map.hpp>

namespace Zelkor {

namespace {

const char* formatOrDefault(const char* format) { return format ? format : "variant"; }

// The readable forms of the values of one name, separated by one blank.
std::string joinPairs(const ContainerFormatValue::Pairs& pairs,
                      std::string (FormatValuePair::*form)() const) {
    std::string out;
    const char* separator = "";
    for (const auto& pair : pairs) {
        out += separator;
        out += (pair.*form)();
        separator = " ";
    }
    return out;
}

}  // namespace

template <typename... Made>
FormatValuePair& ContainerFormatValue::append(const std::string& name, bool formatDefaulted, Made&&... made) {
    // A reply's values land here one by one: no pair made apart and moved in.
    FormatValuePair& pair = _containers[name].emplace_back(std::forward<Made>(made)...);
    pair.formatDefaulted = formatDefaulted;
    return pair;
}

FormatValuePair& ContainerFormatValue::AddContainer(const std::string& name, const char* format, unsigned long isArray,
                                                    bool formatDefaulted) {
    return append(name, formatDefaulted, formatOrDefault(format), std::string(), isArray != 0);
}

FormatValuePair& ContainerFormatValue::AddContainer(const std::string& name, const std::string& valueText,
                                                    const char* format, bool isArray, bool formatDefaulted) {
    return append(name, formatDefaulted, formatOrDefault(format), valueText, isArray);
}

FormatValuePair& ContainerFormatValue::AddContainer(const std::string& name, const char* valueText,
                                                    const char* format, bool isArray, bool formatDefaulted) {
    return AddContainer(name, std::string(valueText ? valueText : ""), format, isArray, formatDefaulted);
}

FormatValuePair& ContainerFormatValue::AddContainer(const std::string& name, const Json::Value& value,
                                                    const char* format, bool isArray, bool formatDefaulted) {
    return append(name, formatDefaulted, formatOrDefault(format), std::string(), value, isArray);
}

void ContainerFormatValue::AddErrorContainer(const std::string& name, const std::string& errorText) {
    append(name, true, std::string(), std::string(), false).error = errorText;
}

void ContainerFormatValue::SetError(const std::string& name, const std::string& format,
                                    const std::string& errorText) {
    Pairs* pairs = GetContainer(name);
    if (!pairs) {
        return;
    }
    for (auto& pair : *pairs) {
        if (pair.format == format) {
            pair.error = errorText;
            return;
        }
    }
}

void ContainerFormatValue::RemoveContainer(const std::string& name) { _containers.erase(name); }

ContainerFormatValue::Pairs* ContainerFormatValue::GetContainer(const std::string& name) {
    return const_cast<Pairs*>(std::as_const(*this).GetContainer(name));
}

const ContainerFormatValue::Pairs* ContainerFormatValue::GetContainer(const std::string& name) const {
    auto it = _containers.find(name);
    return it == _containers.end() ? nullptr : &it->second;
}

std::vector<std::string> ContainerFormatValue::GetContainerNames() const {
    return boost::copy_range<std::vector<std::string>>(_containers | boost::adaptors::map_keys);
}

std::string ContainerFormatValue::ToString() const {
    std::string out;
    for (const auto& [name, pairs] : _containers) {
        out +=
            "\n\tContainer Path: " + name + " Values: [" + joinPairs(pairs, &FormatValuePair::ToString) + ']';
    }
    return out;
}

std::string ContainerFormatValue::ToList() const {
    std::string out;
    for (const auto& [name, pairs] : _containers) {
        out += name + (pairs.empty() ? "" : ": ") + joinPairs(pairs, &FormatValuePair::ToList) + '\n';
    }
    return out;
}

}  // namespace Zelkor
