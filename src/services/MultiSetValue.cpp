#include "services/MultiSetValue.h"

namespace Zelkor {

std::unique_ptr<MultiSetGetWorker> MultiSetValue::Factory() const { return std::make_unique<MultiSetValue>(true); }

std::unique_ptr<Message> CreateSetValue() { return std::make_unique<MultiSetValue>(true); }

}  // namespace Zelkor
