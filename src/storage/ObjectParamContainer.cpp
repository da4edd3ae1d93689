#include "storage/ObjectParamContainer.h"

#include <utility>

#include <boost/algorithm/string/trim.hpp>
#include <boost/range/adaptor/map.hpp>

#include "core/JsonText.h"
#include "core/Param.h"
#include "storage/JsonTextIO.h"
#include "storage/PathAppend.h"
#include "storage/StoragePath.h"

namespace Zelkor {

void ObjectParamContainer::AddContainers(const std::string& path, const ContainerFormatValue& container) {
    _objects[path].push_back(container);
}

void ObjectParamContainer::AddContainers(const std::string& path, ContainerFormatValue&& container) {
    _objects[path].push_back(std::move(container));
}

ObjectParamContainer::Containers* ObjectParamContainer::GetContainers(const std::string& path) {
    return const_cast<Containers*>(std::as_const(*this).GetContainers(path));
}

const ObjectParamContainer::Containers* ObjectParamContainer::GetContainers(const std::string& path) const {
    auto it = _objects.find(path);
    return it == _objects.end() ? nullptr : &it->second;
}

std::vector<std::string> ObjectParamContainer::GetContainerNames() const {
    return boost::copy_range<std::vector<std::string>>(_objects | boost::adaptors::map_keys);
}

bool ObjectParamContainer::FromJson(const Json::Value& json) {
    if (json.isObject()) {
        return FromJsonObject(json);
    }
    if (!json.isArray()) {
        return false;
    }
    for (const auto& element : json) {
        if (!FromJsonObject(element)) {
            return false;
        }
    }
    return true;
}

bool ObjectParamContainer::FromJsonObject(const Json::Value& entry) {
    if (!entry.isObject()) {
        return false;
    }
    const Json::Value& path = entry[ParamName(Param::path)];
    const Json::Value& format = entry[ParamName(Param::format)];
    const Json::Value& value = entry[ParamName(Param::value)];
    if (!path.isString() || format.isArray() || format.isObject() || !JsonDepthWithin(value, kMaxJsonDepth)) {
        return false;
    }

    const auto [objectPath, name] = SplitParameterPath(boost::algorithm::trim_copy(path.asString()));
    const bool formatDefaulted = format.isNull();
    const std::string formatWord = formatDefaulted ? std::string("variant") : format.asString();

    ContainerFormatValue container;
    if (value.isNull()) {
        container.AddContainer(name, formatWord.c_str(), 0, formatDefaulted);
    } else {
        container.AddContainer(name, value, formatWord.c_str(), false, formatDefaulted);
    }
    AddContainers(objectPath, std::move(container));
    return true;
}

bool ObjectParamContainer::FromJsonText(const std::string& text) {
    Json::Value json;
    std::string error;
    return ParseJsonText(text, json, error) && FromJson(json);
}

Json::Value ObjectParamContainer::ToJson() const {
    Json::Value out;
    for (const auto& [objectPath, containers] : _objects) {
        for (const auto& container : containers) {
            for (const auto& name : container.GetContainerNames()) {
                for (const auto& pair : *container.GetContainer(name)) {
                    Json::Value entry(Json::objectValue);
                    entry[ParamName(Param::path)] = AppendPath(objectPath, name);
                    if (!pair.formatDefaulted) {
                        entry[ParamName(Param::format)] = pair.format;
                    }
                    if (!pair.error.empty()) {
                        entry[ParamName(Param::error)] = pair.error;
                    } else if (!pair.value.empty()) {
                        entry[ParamName(Param::value)] = pair.value;
                    }
                    out.append(std::move(entry));
                }
            }
        }
    }
    return out;
}

std::string ObjectParamContainer::ToJsonText() const { return WriteCompactJson(ToJson()); }

std::string ObjectParamContainer::ToString() const {
    std::string out;
    for (const auto& [objectPath, containers] : _objects) {
        out += "Obj/Param Path: " + objectPath;
        for (const auto& container : containers) {
            out += container.ToString();
        }
    }
    return out;
}

std::string ObjectParamContainer::ToList() const {
    std::string out;
    for (const auto& entry : _objects) {
        for (const auto& container : entry.second) {
            out += container.ToList();
        }
    }
    return out;
}

}  // namespace Zelkor
