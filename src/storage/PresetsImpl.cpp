#include "storage/PresetsImpl.h"

#include <exception>
#include <fstream>
#include <iterator>

#include <boost/filesystem/operations.hpp>
#include <json/writer.h>

#include "core/JsonText.h"
#include "core/Param.h"
#include "storage/DescriptorAttributes.h"
#include "storage/FileReplacement.h"
#include "storage/PathAppend.h"
#include "storage/ValueText.h"

namespace Zelkor {

namespace {

constexpr const char* kPresetName = "preset name";
constexpr const char* kPresetType = "preset type";
constexpr const char* kGroupName = "group name";
constexpr const char* kNewPresetName = "new preset name";
constexpr const char* kParamsFailed = "ProcessPresetParams failed";
constexpr const char* kStoreFailed = "StoreAttributesToFile failed";
constexpr const char* kRecallIncomplete = "recall-preset incomplete";

constexpr const char* kParameters = "parameters";

// The "parameters" list of a preset document, or null when it has none.
const Json::Value* parameterList(const Json::Value& document) {
    const Json::Value* list = FindAttribute(document, kParameters);
    return list != nullptr && list->isArray() ? list : nullptr;
}

// A member of a preset element, or null (the element is no object, or lacks it).
const Json::Value* elementMember(const Json::Value& element, Param name) {
    return FindAttribute(element, ParamName(name));
}

// A text member of an element; absent or null reads as the empty text. False for a
// member that has no text form (an array or object).
bool elementText(const Json::Value& element, Param name, std::string& text) {
    const Json::Value* value = elementMember(element, name);
    text.clear();
    return value == nullptr || ValueText(*value, text);
}

// The path and the format of an element ("variant" when it names none); false for an
// element that is no object or whose path or format has no text.
bool elementPathAndFormat(const Json::Value& element, std::string& path, std::string& format) {
    if (!element.isObject() || !elementText(element, Param::path, path) ||
        !elementText(element, Param::format, format)) {
        return false;
    }
    if (elementMember(element, Param::format) == nullptr) {
        format = "variant";
    }
    return true;
}

// A name taken from a request must stay one element below its parent folder.
bool isSafeName(const std::string& name, bool mayBeEmpty) {
    if (name.empty()) {
        return mayBeEmpty;
    }
    return name != "." && name.find('/') == std::string::npos &&
           name.find("..") == std::string::npos && name.find('\0') == std::string::npos;
}

// The tree path of the change mark of a preset file: the file's path from "/Presets/" on,
// with "dirty" in place of the preset name. Empty for a file outside a "Presets" folder.
std::string changeMarkOf(const std::string& file) {
    const auto presets = file.find("/Presets/");
    if (presets == std::string::npos) {
        return std::string();
    }
    return AppendPath(file.substr(presets, file.rfind('/') - presets), "dirty");
}

bool isLink(const std::string& file) {
    boost::system::error_code ec;
    return boost::filesystem::is_symlink(boost::filesystem::symlink_status(file, ec));
}

std::string styledText(const Json::Value& document) {
    Json::StreamWriterBuilder builder;  // tab indentation, as preset files always had
    builder["commentStyle"] = "None";
    return Json::writeString(builder, document) + "\n";
}

}  // namespace

PresetsImpl::PresetsImpl(Json::Value& tree, IStorage* storage)
    : ZelkorLoggable("PRST"), _tree(tree), _storage(storage) {}

bool PresetsImpl::StorePreset(const std::string& root, const Arguments& params, std::string& result) {
    if (processPresetCmd(Command::Update, root, params, result) == Outcome::Failed) {
        return false;
    }
    result = "store preset success";
    return true;
}

bool PresetsImpl::AddPreset(const std::string& root, const Arguments& params, std::string& result) {
    if (processPresetCmd(Command::New, root, params, result) == Outcome::Failed) {
        return false;
    }
    result = "Add preset success";
    return true;
}

bool PresetsImpl::RecallPreset(const std::string& root, const Arguments& params, std::string& result) {
    const Outcome outcome = processPresetCmd(Command::Recall, root, params, result);
    if (outcome == Outcome::Failed) {
        return false;
    }
    // The values that were set came from the preset: it is the last recalled either way.
    if (params.count(kGroupName) != 0) {
        UpdateLastRecalled(ReadParams(params));
    }
    if (outcome == Outcome::Incomplete) {
        result = kRecallIncomplete;
        return false;
    }
    result = "recall-preset success";
    return true;
}

PresetsImpl::Outcome PresetsImpl::processPresetCmd(Command command, const std::string& root,
                                                   const Arguments& params, std::string& result) {
    Request request;
    if (!ProcessPresetParams(command, root, params, request)) {
        result = kParamsFailed;
        return Outcome::Failed;
    }
    if (command == Command::Recall) {
        std::size_t notRecalled = 0;
        auto parameters = RecallValues(request.document, notRecalled);
        if (params.count(kGroupName) != 0) {
            _recalledPresets.emplace(request.file,
                                     Recalled{changeMarkOf(request.file), std::move(parameters)});
        }
        return notRecalled == 0 ? Outcome::Done : Outcome::Incomplete;
    }
    std::string error;
    if (!StoreAttributesToFile(request.document, request.target, error)) {
        result = kStoreFailed;
        return Outcome::Failed;
    }
    return Outcome::Done;
}

bool PresetsImpl::ProcessPresetParams(Command command, const std::string& root,
                                      const Arguments& params, Request& request) {
    std::string text;
    if (!ValidatePresetParameters(command, params, text)) {
        Error("ZK6112E Preset parameters refused", text);
        return false;
    }
    const Names names = ReadParams(params);
    request.file = AppendPath(
        AppendPath(AppendPath(root, names.presetType), names.groupName), names.presetName);
    // A link would lead reads and writes out of the presets folder.
    if (isLink(request.file)) {
        Error("ZK6116E Preset file refused: a symbolic link", request.file);
        return false;
    }

    std::ifstream in(request.file, std::ios::binary);
    std::string error;
    if (!ToJson(in, request.document, error)) {
        Error("ZK6111E Json Parser Error : ", error);
        return false;
    }
    request.target = request.file;
    if (command == Command::New) {
        // The new preset goes beside its source; the source itself is never its target.
        request.target = request.file.substr(0, request.file.size() - names.presetName.size()) +
                         names.newPresetName;
        if (request.target == request.file) {
            Error("ZK6112E Preset parameters refused", "the new preset name is the preset's own");
            return false;
        }
    }
    return true;
}

bool PresetsImpl::ValidatePresetParameters(Command command, const Arguments& params,
                                           std::string& text) {
    std::vector<std::pair<const char*, bool>> required = {{kPresetName, false}, {kPresetType, true}};
    if (command == Command::New) {
        required.emplace_back(kNewPresetName, false);
    }
    for (const auto& [key, mayBeEmpty] : required) {
        const auto found = params.find(key);
        if (found == params.end()) {
            text = std::string("missing \"") + key + "\"";
            return false;
        }
        if (!isSafeName(found->second, mayBeEmpty)) {
            text = std::string(key) + " \"" + found->second + "\"";
            return false;
        }
    }
    const auto group = params.find(kGroupName);
    if (group != params.end() && !isSafeName(group->second, true)) {
        text = std::string(kGroupName) + " \"" + group->second + "\"";
        return false;
    }
    return true;
}

PresetsImpl::Names PresetsImpl::ReadParams(const Arguments& params) {
    const auto text = [&params](const char* key) {
        const auto found = params.find(key);
        return found == params.end() ? std::string() : found->second;
    };
    return Names{text(kPresetName), text(kGroupName), text(kPresetType), text(kNewPresetName)};
}

bool PresetsImpl::ToJson(std::istream& in, Json::Value& document, std::string& error) {
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return ReadJson(text, document, error) == JsonReadResult::ok;
}

bool PresetsImpl::GetPathsFromPFile(const Json::Value& document, std::vector<Parameter>& parameters,
                                    std::size_t& skipped) {
    const Json::Value* list = parameterList(document);
    if (list == nullptr) {
        Error("ZK6110E parameters is not array");
        return false;
    }
    for (const auto& element : *list) {
        Parameter parameter;
        std::string path;
        if (!elementPathAndFormat(element, path, parameter.format)) {
            Warning("ZK6113W Preset element skipped", WriteCompactJson(element));
            ++skipped;
            continue;
        }
        const Json::Value* value = elementMember(element, Param::value);
        if (value != nullptr && value->isObject()) {
            for (const auto& name : value->getMemberNames()) {
                parameter.path = AppendPath(path, name);
                if (ValueText((*value)[name], parameter.value)) {
                    parameters.push_back(parameter);
                } else {
                    Warning("ZK6113W Preset element skipped", parameter.path);
                    ++skipped;
                }
            }
            continue;
        }
        parameter.path = path;
        if (elementText(element, Param::value, parameter.value)) {
            parameters.push_back(parameter);
        } else {
            Warning("ZK6113W Preset element skipped", path);
            ++skipped;
        }
    }
    return true;
}

std::vector<PresetsImpl::Parameter> PresetsImpl::RecallValues(const Json::Value& document,
                                                               std::size_t& notRecalled) {
    std::vector<Parameter> parameters;
    // A document without a list recalls nothing; the recall itself still succeeds.
    GetPathsFromPFile(document, parameters, notRecalled);
    if (_storage == nullptr) {
        Error("ZK6109E SetValueForPath no storage");
        notRecalled += parameters.size();
        return parameters;
    }
    for (const auto& parameter : parameters) {
        try {
            const auto status = _storage->SetValueForPath(parameter.path.c_str(), parameter.format.c_str(),
                                                          Json::Value(parameter.value), false);
            if (status != IStorage::PathOk) {
                Warning("ZK6107W set failed for path : ", parameter.path);
                ++notRecalled;
            }
        } catch (const std::exception& error) {
            Error("ZK6108E SetValueForPath error", error.what());
            ++notRecalled;
        }
    }
    return parameters;
}

bool PresetsImpl::refreshValue(Json::Value& owner, const std::string& key, const std::string& path,
                               const std::string& format, const char* failedText,
                               const char* threwText) {
    try {
        Json::Value value;
        std::string text;
        if (_storage->GetValueForPath(path.c_str(), format.c_str(), value) == IStorage::PathOk &&
            ValueText(value, text)) {
            owner[key] = text;
        } else {
            Warning(failedText, path);
        }
        return true;
    } catch (const std::exception& error) {
        Error(threwText, error.what());
        return false;
    }
}

bool PresetsImpl::StoreAttributesToFile(Json::Value& document, const std::string& target,
                                        std::string& error) {
    if (parameterList(document) == nullptr) {
        Info("ZK6106I Unhandled case -> parameter not an array");
        error = "unhandled case -> parameter not an array";
        return false;
    }
    if (_storage == nullptr) {
        Error("ZK6101E StoreAttributesToFile no storage");
        error = "no storage";
        return false;
    }
    for (auto& element : document[kParameters]) {
        std::string path;
        std::string format;
        if (!elementPathAndFormat(element, path, format)) {
            continue;  // nothing to read for it; the element is written back as it was
        }
        const char* valueKey = ParamName(Param::value);
        const Json::Value* current = elementMember(element, Param::value);
        bool read = true;
        if (current != nullptr && current->isObject()) {
            Json::Value& value = element[valueKey];
            for (const auto& name : value.getMemberNames()) {
                read = read && refreshValue(value, name, AppendPath(path, name), format,
                                            "ZK6104W StoreAttributesToFile get failed",
                                            "ZK6105E GetValueForPath error");
            }
        } else {
            // A value that could not be read leaves the element as it was written.
            read = refreshValue(element, valueKey, path, format,
                                "ZK6102W StoreAttributesToFile get failed",
                                "ZK6103E GetValueForPath error");
        }
        if (!read) {
            error = "read failed";
            return false;
        }
    }
    const auto links = FileReplacement::Links::Refuse;
    if (!FileReplacement::Replace(target, styledText(document), error, links)) {
        Error("ZK6114E Preset file not written", error);
        return false;
    }
    return true;
}

Json::Value PresetsImpl::CreateRONode(const std::string& type, const std::string& value,
                                      const std::string& name) {
    Json::Value node(Json::objectValue);
    node[".kind"] = "param";
    node[".type"] = type;
    node[".access"] = "ro";
    node[".name"] = name;
    node[".value"] = value;
    return node;
}

void PresetsImpl::UpdateLastRecalled(const Names& names) {
    if (!_tree.isObject()) {
        Error("ZK6115E Last recalled preset not recorded: the tree is no object");
        return;
    }
    // The record sits in the group of the preset's own type, where the change mark of
    // ValueChanged looks for it; an empty level adds none, as it does in the file path.
    std::vector<std::string> levels;
    for (const auto* level : {&names.presetType, &names.groupName}) {
        if (!level->empty()) {
            levels.push_back(*level);
        }
    }
    const bool fresh = !_tree.isMember("Presets");
    Json::Value* node = &_tree["Presets"];
    if (fresh) {
        (*node)[".kind"] = "obj";
    }
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (!node->isObject()) {
            Error("ZK6115E Last recalled preset not recorded: no group at", levels[i]);
            return;
        }
        const bool created = !node->isMember(levels[i]);
        node = &(*node)[levels[i]];
        if (created) {
            *node = Json::Value(Json::objectValue);
            // A new tree of records is browsable down to the type; the group holds only
            // the two records.
            if (fresh && i + 1 < levels.size()) {
                (*node)[".kind"] = "obj";
            }
        }
    }
    if (!node->isObject()) {
        Error("ZK6115E Last recalled preset not recorded: the record group is no object");
        return;
    }
    (*node)["last"] = CreateRONode("string", names.presetName, "Last Recalled");
    (*node)["dirty"] = CreateRONode("boolean", "false", "Last recalled changed");
}

void PresetsImpl::ValueChanged(const char* path, const char* format) {
    if (path == nullptr || format == nullptr) {
        return;
    }
    if (_storage == nullptr) {
        Error("ZK6101E PresetsImpl::ValueChanged no storage");
        return;
    }
    for (const auto& entry : _recalledPresets) {
        const Recalled& recalled = entry.second;
        // The mark lives in the tree's "/Presets" records; a preset kept elsewhere has none.
        if (recalled.mark.empty()) {
            continue;
        }
        for (const auto& parameter : recalled.parameters) {
            if (parameter.path != path) {
                continue;
            }
            try {
                _storage->SetValueForPath(recalled.mark.c_str(), format, Json::Value(true), false);
            } catch (const std::exception& error) {
                Error("ZK6100E GetValueForPath error", error.what());
            }
        }
    }
}

}  // namespace Zelkor
