// Multi-value requests: every pair of a request container is read or written at its full
// path (object path and parameter name joined) and receives its own outcome, so that one
// bad pair never costs the others their answer. A get serves at most MaxEntriesPerMessage()
// pairs, however far its groups expand; the pairs past that bound are answered with an
// error instead.
#include <algorithm>
#include <exception>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "storage/DescriptorFlags.h"
#include "storage/JsonModel.h"
#include "storage/ObjectParamContainer.h"
#include "storage/PathAppend.h"
#include "storage/RequestBound.h"
#include "storage/StoragePath.h"

namespace Zelkor {

namespace {

// A name that stands for the whole tree rather than for a member.
constexpr const char* kWholeTree = "/";

// Visits the pairs of a request: object paths ascending, their entries in order, names
// ascending, the pairs of a name in order.
// The visit may change pairs but adds and removes none, so the walk takes the names where
// they lie rather than a copy of them.
template <class Visit>
void forEachPair(ObjectParamContainer& request, Visit visit) {
    for (const auto& object : request.Objects()) {
        const std::string& objectPath = object.first;
        for (auto& container : *request.GetContainers(objectPath)) {
            for (const auto& member : container.Members()) {
                const std::string& name = member.first;
                for (auto& pair : *container.GetContainer(name)) {
                    visit(objectPath, name, pair);
                }
            }
        }
    }
}

// The elements of a list attribute ("/p/.enums/...") are entries, not lists of their own.
bool isBelowListAttribute(std::string_view path) {
    if (!IsStoragePathValid(path)) {
        return false;
    }
    StoragePathNames names(path);
    std::string_view owner;
    std::string_view last;
    std::size_t count = 0;
    for (std::string_view name; names.Next(name); ++count) {
        owner = last;
        last = name;
    }
    return count >= 2 && (owner == ".flags" || owner == ".enums");
}

const char* typeWord(const Json::Value& value) {
    if (value.isBool()) {
        return "boolean";
    }
    if (value.isInt()) {  // any whole number within the signed 32-bit range, reals too
        return "integer";
    }
    return value.isNumeric() ? "float" : "string";
}

// Replaces each requested group by one request per parameter below it, within the
// request's bound: a name whose parameters would take the request past it is not expanded
// and is answered "Too many entries". A parameter that an earlier name of the same request
// already brought in, in the same form, is not brought in again, so repeating a name (or
// naming a group and a group inside it) costs nothing more.
class RequestExpansion {
public:
    RequestExpansion(JsonModel& model, ObjectParamContainer& request, std::size_t maxEntries)
        : _model(model), _request(request), _maxEntries(maxEntries) {
        forEachPair(request, [this](const std::string&, const std::string& name, FormatValuePair&) {
            _entries += name == kWholeTree ? 0 : 1;
        });
    }

    void Run() {
        // Paths added on the way are not expanded again, and neither are the entries that
        // the expansion appends to the path being walked.
        for (const auto& objectPath : _request.GetContainerNames()) {
            auto* containers = _request.GetContainers(objectPath);
            auto entry = containers->begin();
            for (std::size_t left = containers->size(); left > 0; --left, ++entry) {
                for (const auto& name : entry->GetContainerNames()) {
                    expand(objectPath, *entry, name);
                }
            }
        }
    }

private:
    // One requested parameter in one form.
    using Key = std::tuple<std::string, std::string, bool, bool>;
    static Key keyOf(const std::string& path, const FormatValuePair& pair) {
        return Key(path, pair.format, pair.isArray, pair.formatDefaulted);
    }

    void expand(const std::string& objectPath, ContainerFormatValue& container,
                const std::string& name) {
        auto* pairs = container.GetContainer(name);
        if (pairs == nullptr) {
            return;
        }
        const bool wholeTree = name == kWholeTree;
        const std::string lookup = wholeTree ? name : AppendPath(objectPath, name);
        if (allKnown(_added, lookup, *pairs)) {
            return;  // an entry an expansion made: it stands for itself
        }
        // The entry itself is served no more once it is expanded or refused.
        const std::size_t own = wholeTree ? 0 : pairs->size();
        if (allKnown(_expanded, lookup, *pairs)) {
            drop(container, name, own);
            return;
        }
        const auto children = _model.GetChildren(lookup);
        if (children.empty()) {
            return;  // a parameter: served as it was asked
        }
        // What this name brings in that the request does not hold yet, child by child.
        std::vector<std::pair<const std::string*, std::vector<const FormatValuePair*>>> fresh;
        std::set<Key> keys;
        for (const auto& child : children) {
            std::vector<const FormatValuePair*> pairsOfChild;
            for (const auto& pair : *pairs) {
                Key key = keyOf(child, pair);
                if (_added.count(key) == 0 && keys.insert(std::move(key)).second) {
                    pairsOfChild.push_back(&pair);
                }
            }
            if (!pairsOfChild.empty()) {
                fresh.emplace_back(&child, std::move(pairsOfChild));
            }
            if (_entries - own + keys.size() > _maxEntries) {
                refuse(*pairs, own);
                return;
            }
        }
        for (const auto& [child, pairsOfChild] : fresh) {
            const auto [parentPath, childName] = SplitParameterPath(*child);
            ContainerFormatValue expanded;
            for (const FormatValuePair* pair : pairsOfChild) {
                expanded.AddContainer(childName, pair->format.c_str(), pair->isArray,
                                      pair->formatDefaulted);
            }
            if (JsonModel::getKind(_model.valueForPath(parentPath)) == JsonModel::KindObject) {
                expanded.SetObject(true);
            }
            _request.AddContainers(parentPath, expanded);
        }
        for (const auto& pair : *pairs) {
            _expanded.insert(keyOf(lookup, pair));
        }
        _added.insert(keys.begin(), keys.end());
        _entries += keys.size();
        drop(container, name, own);
    }

    static bool allKnown(const std::set<Key>& known, const std::string& path,
                         const ContainerFormatValue::Pairs& pairs) {
        if (known.empty()) {
            return pairs.empty();  // no key made for nothing to find: the usual request
        }
        for (const auto& pair : pairs) {
            if (known.count(keyOf(path, pair)) == 0) {
                return false;
            }
        }
        return true;
    }

    // A whole-tree entry keeps its place beside what it expanded to; the read skips it.
    void drop(ContainerFormatValue& container, const std::string& name, std::size_t own) {
        _entries -= own;
        if (name != kWholeTree) {
            container.RemoveContainer(name);
        }
    }

    void refuse(ContainerFormatValue::Pairs& pairs, std::size_t own) {
        _entries -= own;
        for (auto& pair : pairs) {
            pair.error = kTooManyEntries;
        }
    }

    JsonModel& _model;
    ObjectParamContainer& _request;
    const std::size_t _maxEntries;
    std::size_t _entries = 0;  // pairs the read will serve
    std::set<Key> _added;      // parameters brought in by expansions
    std::set<Key> _expanded;   // names expanded, by lookup path
};

}  // namespace

void JsonModel::GetObjectsParameters(ObjectParamContainer& request, bool recursive) {
    // One bound for the expansion and the serving, whatever the setting does meanwhile.
    const std::size_t maxEntries = MaxEntriesPerMessage();
    if (recursive) {
        RequestExpansion(*this, request, maxEntries).Run();
    }
    std::size_t served = 0;
    std::size_t refused = 0;
    forEachPair(request, [&](const std::string& objectPath, const std::string& name,
                             FormatValuePair& pair) {
        if (pair.error == kTooManyEntries) {
            ++refused;  // a group that was not expanded
        } else if (name == kWholeTree) {
            // A whole-tree request keeps its own entry beside what it expanded to.
        } else if (served == maxEntries) {
            pair.error = kTooManyEntries;
            ++refused;
        } else {
            ++served;
            servePair(PairAccess::Read, AppendPath(objectPath, name), name, pair);
        }
    });
    if (refused > 0) {
        PeerWarning("ZK60A5W Too many entries in a multi-value get; entries refused", refused);
    }
}

void JsonModel::SetObjectsParameters(ObjectParamContainer& request) {
    forEachPair(request, [this](const std::string& objectPath, const std::string& name,
                                FormatValuePair& pair) {
        const std::string path = AppendPath(objectPath, name);
        const auto names = SplitStoragePath(path);
        if (name == kWholeTree || (names && names->empty())) {
            // The whole tree, however the path names it ("", "/"), is no value: nothing
            // is written into its root.
            pair.error = StatusText(InvalidPath);
            return;
        }
        servePair(PairAccess::Write, path, name, pair);
    });
}

void JsonModel::servePair(PairAccess access, const std::string& path, const std::string& name,
                          FormatValuePair& pair) {
    STATUS status = ValueOutOfRange;
    try {
        status = access == PairAccess::Read
                     ? GetValueForPath(path.c_str(), pair.format.c_str(), pair.value)
                     : writeAndReadBack(path, pair);
    } catch (const std::exception& error) {
        Error("ZK60A4E Multi-value request failed for " + path, error.what());
        pair.error = StatusText(ValueOutOfRange);
        return;
    } catch (...) {
        Error("ZK60A4E Multi-value request failed for", path);
        pair.error = StatusText(ValueOutOfRange);
        return;
    }
    recordOutcome(access, status, path, name, pair);
}

IStorage::STATUS JsonModel::writeAndReadBack(const std::string& path, FormatValuePair& pair) {
    const STATUS status = SetValueForPath(path.c_str(), pair.format.c_str(), pair.value, true);
    if (status != PathOk) {
        return status;
    }
    // The answer is the value as stored, in the form the requester asked for.
    return GetValueForPath(path.c_str(), pair.format.c_str(), pair.value);
}

void JsonModel::recordOutcome(PairAccess access, STATUS status, const std::string& path,
                              const std::string& name, FormatValuePair& pair) {
    if (status == PathWriteonly || status == PathLocked) {
        // The value is not shown. A refused write must still say so: its pair holds the
        // requested value, which would otherwise read as accepted.
        pair.accessible = false;
        if (access == PairAccess::Write && status == PathLocked) {
            pair.error = StatusText(status);
        }
        return;
    }
    if (status != PathOk) {
        pair.error = StatusText(status);
        return;
    }
    const Json::Value* node = findNode(path.c_str());
    // The flags of a descriptor, or a plain list of flag words: locked as VerifyPath sees it.
    if (node != nullptr && (GetFlagInt(*node) & FlagLock) != 0) {
        pair.accessible = false;
    }
    const bool marksArray = !isBelowListAttribute(path) &&
                            (access == PairAccess::Write || name != ".scale");
    if (marksArray) {
        pair.isArray = node != nullptr && node->isArray();
    }
    pair.type = typeWord(pair.value);
}

void JsonModel::FillRecursively(ObjectParamContainer& request) {
    RequestExpansion(*this, request, MaxEntriesPerMessage()).Run();
}

}  // namespace Zelkor
