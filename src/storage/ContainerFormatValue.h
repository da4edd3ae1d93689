#pragma once
// The values of the parameters of one object in a multi-value request, grouped by
// parameter name (names in byte order, the values of one name in insertion order).
//
// A plain copyable value; no sharing, no locking. Pointers returned by GetContainer stay
// valid until that name is removed or the object is destroyed.

#include <list>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>

#include "storage/FormatValuePair.h"

namespace Zelkor {

class ContainerFormatValue {
public:
    using Pairs = std::list<FormatValuePair>;

    // Every AddContainer takes a null format as "variant" and appends to the values of
    // `name`, creating the name when it is new; it gives back the pair appended.

    // A request without value: the empty text under `format`.
    FormatValuePair& AddContainer(const std::string& name, const char* format, unsigned long isArray,
                                  bool formatDefaulted);
    // A value given as text, converted as FormatValuePair's text constructor does.
    FormatValuePair& AddContainer(const std::string& name, const std::string& valueText, const char* format,
                                  bool isArray, bool formatDefaulted);
    FormatValuePair& AddContainer(const std::string& name, const char* valueText, const char* format, bool isArray,
                                  bool formatDefaulted);
    // A value given as JSON, kept as it is.
    FormatValuePair& AddContainer(const std::string& name, const Json::Value& value, const char* format,
                                  bool isArray, bool formatDefaulted);
    // A value that only carries an error: no format, empty value.
    void AddErrorContainer(const std::string& name, const std::string& errorText);

    // Gives `errorText` to the first value of `name` whose format is `format`; nothing
    // happens when there is none.
    void SetError(const std::string& name, const std::string& format, const std::string& errorText);
    void RemoveContainer(const std::string& name);

    // The values of `name`, or null when the name is absent.
    Pairs* GetContainer(const std::string& name);
    const Pairs* GetContainer(const std::string& name) const;
    std::vector<std::string> GetContainerNames() const;
    // Every name with its values, names in byte order: a walk without a copy of the names.
    const std::map<std::string, Pairs>& Members() const { return _containers; }

    // Whether this entry stands for an object (a folder) rather than named parameters.
    void SetObject(bool object) { _object = object; }
    bool IsObject() const { return _object; }

    // Readable forms for logs and tools.
    std::string ToString() const;
    std::string ToList() const;

private:
    // The pair is made in place at the end of the values of `name`.
    template <typename... Made>
    FormatValuePair& append(const std::string& name, bool formatDefaulted, Made&&... made);

    std::map<std::string, Pairs> _containers;
    bool _object = false;
};

}  // namespace Zelkor
