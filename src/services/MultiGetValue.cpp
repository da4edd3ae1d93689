#include "services/MultiGetValue.h"

namespace Zelkor {

std::unique_ptr<MultiSetGetWorker> MultiGetValue::Factory() const { return std::make_unique<MultiGetValue>(true); }

std::unique_ptr<Message> CreateGetValue() { return std::make_unique<MultiGetValue>(true); }

}  // namespace Zelkor
