// Operations of the tree whose real implementations arrive with the preset store, the
// request containers and the event store. Until then they answer as an empty store would.
#include "storage/JsonModel.h"

namespace Zelkor {

void JsonModel::notifyPresetStore(const char* /*path*/, const std::string& /*format*/) {
    // PENDING(presets): forward to the preset store's ValueChanged(path, format).
}

bool JsonModel::StorePreset(const std::string& /*root*/,
                            const std::map<std::string, std::string>& /*arguments*/,
                            std::string& /*result*/) {
    return false;
}

bool JsonModel::RecallPreset(const std::string& /*root*/,
                             const std::map<std::string, std::string>& /*arguments*/,
                             std::string& /*result*/) {
    return false;
}

bool JsonModel::AddPreset(const std::string& /*root*/,
                          const std::map<std::string, std::string>& /*arguments*/,
                          std::string& /*result*/) {
    return false;
}

void JsonModel::GetObjectsParameters(ObjectParamContainer& /*request*/, bool /*recursive*/) {}

void JsonModel::SetObjectsParameters(ObjectParamContainer& /*request*/) {}

bool JsonModel::StoreEvent(const std::string& /*eventJson*/) { return false; }

bool JsonModel::RetrieveEvents(long long /*from*/, unsigned /*minimumPriority*/,
                               std::vector<std::string>& /*out*/) {
    return true;
}

bool JsonModel::LoadEvents() { return false; }

bool JsonModel::StoreEvents() { return false; }

}  // namespace Zelkor
