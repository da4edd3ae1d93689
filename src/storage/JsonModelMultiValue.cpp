// Multi-value requests: every pair of a request container is read or written at its full
// path (object path and parameter name joined) and receives its own outcome, so that one
// bad pair never costs the others their answer.
#include <exception>

#include "storage/DescriptorFlags.h"
#include "storage/JsonModel.h"
#include "storage/ObjectParamContainer.h"
#include "storage/PathAppend.h"
#include "storage/StoragePath.h"

namespace Zelkor {

namespace {

// Visits the pairs of a request: object paths ascending, their entries in order, names
// ascending, the pairs of a name in order.
template <class Visit>
void forEachPair(ObjectParamContainer& request, Visit visit) {
    for (const auto& objectPath : request.GetContainerNames()) {
        for (auto& container : *request.GetContainers(objectPath)) {
            for (const auto& name : container.GetContainerNames()) {
                for (auto& pair : *container.GetContainer(name)) {
                    visit(objectPath, name, pair);
                }
            }
        }
    }
}

// The elements of a list attribute ("/p/.enums/...") are entries, not lists of their own.
bool isBelowListAttribute(const std::vector<std::string>& names) {
    if (names.size() < 2) {
        return false;
    }
    const std::string& owner = names[names.size() - 2];
    return owner == ".flags" || owner == ".enums";
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

}  // namespace

void JsonModel::GetObjectsParameters(ObjectParamContainer& request, bool recursive) {
    if (recursive) {
        FillRecursively(request);
    }
    forEachPair(request, [this](const std::string& objectPath, const std::string& name,
                                FormatValuePair& pair) {
        // A whole-tree request keeps its own entry beside what it expanded to.
        if (name != "/") {
            servePair(PairAccess::Read, AppendPath(objectPath, name), name, pair);
        }
    });
}

void JsonModel::SetObjectsParameters(ObjectParamContainer& request) {
    forEachPair(request, [this](const std::string& objectPath, const std::string& name,
                                FormatValuePair& pair) {
        servePair(PairAccess::Write, AppendPath(objectPath, name), name, pair);
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
    const auto names = SplitStoragePath(path);
    const Json::Value* node = names ? findNode(*names, names->size()) : nullptr;
    if (node != nullptr && node->isObject() && (GetFlagInt(*node) & FlagLock) != 0) {
        pair.accessible = false;
    }
    const bool marksArray = !(names && isBelowListAttribute(*names)) &&
                            (access == PairAccess::Write || name != ".scale");
    if (marksArray) {
        pair.isArray = node != nullptr && node->isArray();
    }
    pair.type = typeWord(pair.value);
}

void JsonModel::FillRecursively(ObjectParamContainer& request) {
    // Paths added on the way are not expanded again, and neither are the entries that
    // the expansion appends to the path being walked.
    for (const auto& objectPath : request.GetContainerNames()) {
        auto* containers = request.GetContainers(objectPath);
        auto entry = containers->begin();
        for (std::size_t left = containers->size(); left > 0; --left, ++entry) {
            for (const auto& name : entry->GetContainerNames()) {
                expandName(request, objectPath, *entry, name);
            }
        }
    }
}

void JsonModel::expandName(ObjectParamContainer& request, const std::string& objectPath,
                           ContainerFormatValue& container, const std::string& name) {
    const bool wholeTree = name == "/";
    const auto children = GetChildren(wholeTree ? name : AppendPath(objectPath, name));
    const auto* pairs = container.GetContainer(name);
    if (children.empty() || pairs == nullptr) {
        return;
    }
    for (const auto& child : children) {
        const auto [parentPath, childName] = SplitParameterPath(child);
        ContainerFormatValue expanded;
        for (const auto& pair : *pairs) {
            expanded.AddContainer(childName, pair.format.c_str(), pair.isArray, pair.formatDefaulted);
        }
        if (getKind(valueForPath(parentPath)) == KindObject) {
            expanded.SetObject(true);
        }
        request.AddContainers(parentPath, expanded);
    }
    if (!wholeTree) {
        container.RemoveContainer(name);
    }
}

}  // namespace Zelkor
