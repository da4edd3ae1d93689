#include "services/FolderLookup.h"

#include <utility>

namespace Zelkor {

namespace {

const char* const kVariant = "variant";

// The error goes to the pair just added: with a name asked twice in one format, the
// first pair of that format would otherwise take the second's error.
void addPair(ContainerFormatValue& container, const std::string& name, const Json::Value& value, const char* format,
             bool withValues, const char* error) {
    const bool defaulted = !(format && *format);
    const char* word = defaulted ? kVariant : format;
    FormatValuePair& pair = withValues ? container.AddContainer(name, value, word, false, defaulted)
                                       : container.AddContainer(name, std::string(), word, false, defaulted);
    if (error && *error) {
        pair.error = error;
    }
}

}  // namespace

void FolderLookup::BuildObjects(const MultiSetGetWorker::Entries& entries, ObjectParamContainer& target,
                                bool withValues) {
    for (const auto& [key, list] : entries) {
        ContainerFormatValue container;
        for (const auto& entry : list) {
            const char* nameText = entry.Name();
            if (!nameText) {
                continue;
            }
            const std::string name = nameText;
            const char* error = entry.Error();
            const char* format = entry.Format();
            if (error && *error && !(format && *format)) {
                container.AddErrorContainer(name, error);
                continue;
            }
            addPair(container, name, entry.Value(), format, withValues, error);
        }
        target.AddContainers(key, std::move(container));
    }
}

void FolderLookup::BuildObjects(const FolderListing::Entries& entries, ObjectParamContainer& target,
                                bool withValues) {
    for (const auto& [key, list] : entries) {
        ContainerFormatValue container;
        for (const auto& entry : list) {
            const char* pathText = entry->GetParameter(Param::path);
            if (!pathText) {
                continue;
            }
            const std::string name = pathText;
            Json::Value value;
            if (withValues) {
                entry->GetJsonParameter(value, Param::value);
            }
            addPair(container, name, value, nullptr, withValues, entry->GetParameter(Param::error));
        }
        target.AddContainers(key, std::move(container));
    }
}

bool FolderLookup::ProcessObjectsIntoWorkerMessage(bool flag, MultiSetGetWorker& target,
                                                   const ObjectParamContainer& source) {
    for (const auto& [objectPath, values] : source.Objects()) {
        if (!ProcessParamFormatValueSets(flag, target, values, objectPath)) {
            return false;
        }
    }
    return true;
}

bool FolderLookup::ProcessParamFormatValueSets(bool flag, MultiSetGetWorker& target,
                                               const std::list<ContainerFormatValue>& values,
                                               const std::string& objectPath) {
    for (const auto& value : values) {
        for (const auto& [name, pairs] : value.Members()) {
            if (!PopulateGetSetValueMessage(flag, target, pairs, objectPath, name)) {
                return false;
            }
        }
    }
    return true;
}

bool FolderLookup::ProcessFormatStringsForParam(bool flag, MultiSetGetWorker& target,
                                                const ContainerFormatValue& value,
                                                const std::vector<std::string>& names,
                                                const std::string& objectPath) {
    for (const auto& name : names) {
        const auto* pairs = value.GetContainer(name);
        if (pairs && !PopulateGetSetValueMessage(flag, target, *pairs, objectPath, name)) {
            return false;
        }
    }
    return true;
}

bool FolderLookup::PopulateGetSetValueMessage(bool /*flag*/, MultiSetGetWorker& target,
                                              const std::list<FormatValuePair>& pairs,
                                              const std::string& objectPath, const std::string& name) {
    for (const auto& pair : pairs) {
        const char* format = pair.formatDefaulted ? nullptr : pair.format.c_str();
        const char* type = pair.type.empty() ? nullptr : pair.type.c_str();
        const char* error = pair.error.empty() ? nullptr : pair.error.c_str();
        if (!target.AddValue(objectPath.c_str(), objectPath.c_str(), name.c_str(), pair.value, format, type, error,
                             pair.isArray, pair.accessible)) {
            return false;
        }
    }
    return true;
}

}  // namespace Zelkor
