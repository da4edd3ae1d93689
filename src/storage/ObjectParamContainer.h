#pragma once
// A multi-value request or reply: the named values of each object path (paths in byte
// order, the entries of one path in insertion order), with its JSON interchange form, a
// flat array of {"path", "format", "value" | "error"} objects.
//
// A plain copyable value; no sharing, no locking. Pointers returned by GetContainers
// stay valid until the object is destroyed. Reading the JSON form never throws.

#include <list>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>

#include "storage/ContainerFormatValue.h"

namespace Zelkor {

class ObjectParamContainer {
public:
    using Containers = std::list<ContainerFormatValue>;

    // Appends a copy of `container` under `path`, creating the path when it is new.
    void AddContainers(const std::string& path, const ContainerFormatValue& container);
    // The same, taking the container's values rather than copying them: a request's
    // container may hold a hundred thousand.
    void AddContainers(const std::string& path, ContainerFormatValue&& container);
    // The entries of `path`, or null when the path is absent.
    Containers* GetContainers(const std::string& path);
    const Containers* GetContainers(const std::string& path) const;
    std::vector<std::string> GetContainerNames() const;
    // Every path with its entries, paths in byte order: a walk without a copy of the paths.
    const std::map<std::string, Containers>& Objects() const { return _objects; }

    // Adds what a JSON form holds: one entry object, or an array of them read in order
    // up to the first element that is refused (what came before it stays). False for
    // anything else, or when an element is refused.
    bool FromJson(const Json::Value& json);
    // Adds one entry. Refused (false, nothing added) when "path" is not a text, when
    // "format" is an array or object, or when "value" nests deeper than kMaxJsonDepth.
    // An entry without "format" is asked in "variant", marked as defaulted.
    bool FromJsonObject(const Json::Value& entry);
    // FromJson of a JSON text; false when the text does not parse.
    bool FromJsonText(const std::string& text);

    // The JSON form: null when the container holds no value at all.
    Json::Value ToJson() const;
    // The JSON form as compact one-line text.
    std::string ToJsonText() const;

    // Readable forms for logs and tools.
    std::string ToString() const;
    std::string ToList() const;

private:
    std::map<std::string, Containers> _objects;
};

}  // namespace Zelkor
