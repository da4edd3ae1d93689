#include "services/ValueSubscriptionMessages.h"

namespace Zelkor {

std::unique_ptr<MultiSetGetWorker> Subscribe::Factory() const { return std::make_unique<Subscribe>(); }

std::unique_ptr<Message> Unsubscribe::Instantiate() const { return std::make_unique<Unsubscribe>(); }

std::unique_ptr<MultiSetGetWorker> Unsubscribe::Factory() const { return std::make_unique<Unsubscribe>(); }

std::unique_ptr<MultiSetGetWorker> MultiPublishValue::Factory() const {
    return std::make_unique<MultiPublishValue>(true);
}

std::unique_ptr<Message> CreateSubscribe() { return std::make_unique<Subscribe>(); }

std::unique_ptr<Message> CreateUnsubscribe() { return std::make_unique<Unsubscribe>(); }

std::unique_ptr<Message> CreatePublish() { return std::make_unique<MultiPublishValue>(true); }

}  // namespace Zelkor
