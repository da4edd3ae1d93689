// The parameter requests of a device: "get" and "set" of many values, handed to the
// folder-modification service on the connection a request takes, and the default
// handlers of their replies. A request that finds no connection is answered all the same,
// every value failed, on the loop.

#include "device/DeviceImpl.h"

#include <utility>

#include "core/RequestErrors.h"
#include "driver/ZelkorDriver.h"
#include "services/FailedValues.h"
#include "services/IFolderModificationService.h"
#include "storage/ObjectParamContainer.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

using Callback = std::function<void(const ObjectParamContainer&)>;

}  // namespace

struct DeviceImpl::ParameterTexts {
    bool set;
    const char* finalized;
    // Null for a request that is never deferred.
    const char* deferred;
};

std::shared_ptr<IFolderModificationService> DeviceImpl::folderModification() const {
    const auto owner = _driver.lock();
    IFolderModificationService* service = owner ? owner->GetFolderModificationService() : nullptr;
    return service ? std::shared_ptr<IFolderModificationService>(owner, service) : nullptr;
}

void DeviceImpl::parameterRequest(const ParameterTexts& texts, ObjectParamContainer& values,
                                  std::optional<Callback> callback, bool deferrable, std::string tag) {
    bool went = false;
    if (IsFinalized()) {
        Debug(texts.finalized);
    } else if (const auto service = folderModification()) {
        // The service reads the container and builds the line before this returns; the
        // header is this request's own copy. The work runs at most once, so the callback
        // and the tag move on.
        const auto send = [&](const std::shared_ptr<TcpSocket>& socket, MessageForwardInfo& header) {
            void* const handle = ZelkorDriver::HandleOf(socket.get());
            if (!callback && texts.set) {
                service->SendMultiSetValue(handle, values, header, true);
            } else if (!callback) {
                service->SendMultiGetValue(handle, values, header, true);
            } else if (deferrable && IsRunningScript()) {
                Info(texts.deferred + nameText() + ")");
            } else if (texts.set) {
                service->SendMultiSetValue(handle, values, header, std::move(*callback), true, std::move(tag));
            } else {
                service->SendMultiGetValue(handle, values, header, std::move(*callback), true, std::move(tag));
            }
        };
        // One reference captured: the work costs no allocation.
        went = ForTheHandle(
            [&send](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) { send(socket, header); });
    }
    if (!went) {
        answerUnreached(texts.set ? "set" : "get", values, std::move(callback));
    }
}

void DeviceImpl::answerUnreached(const char* word, const ObjectParamContainer& values,
                                 std::optional<Callback> callback) {
    answerLater([word, failed = FailedValues(word, values, kDeviceNotConnected),
                 callback = std::move(callback)](ZelkorDriver& owner) {
        if (callback) {
            // An empty one swallows the answer, as the service's place would the reply.
            if (*callback) {
                (*callback)(failed);
            }
        } else if (auto* service = owner.GetFolderModificationService()) {
            service->AnswerUnsent(word, failed);
        }
    });
}

void DeviceImpl::SetParameter(ObjectParamContainer& values) {
    static const ParameterTexts texts{true, "ZK6680I Device is finalized", nullptr};
    parameterRequest(texts, values, std::nullopt, false, std::string());
}

void DeviceImpl::SetParameter(ObjectParamContainer& values, Callback callback, bool deferrable, std::string tag) {
    static const ParameterTexts texts{true, "ZK6681I Device is finalized", "ZK6682I SetParameter deferred for ("};
    parameterRequest(texts, values, std::move(callback), deferrable, std::move(tag));
}

void DeviceImpl::OnSetResult(Callback callback) {
    if (IsFinalized()) {
        Debug("ZK6679I Device is finalized");
        return;
    }
    if (const auto service = folderModification()) {
        service->SetDefaultSetReplyHandler(std::move(callback));
    }
}

void DeviceImpl::GetParameter(ObjectParamContainer& values) {
    static const ParameterTexts texts{false, "ZK6684I Device is finalized", nullptr};
    parameterRequest(texts, values, std::nullopt, false, std::string());
}

void DeviceImpl::GetParameter(ObjectParamContainer& values, Callback callback, bool deferrable, std::string tag) {
    static const ParameterTexts texts{false, "ZK6685I Device is finalized", "ZK6686I GetParameter deferred for ("};
    parameterRequest(texts, values, std::move(callback), deferrable, std::move(tag));
}

void DeviceImpl::OnGetResult(Callback callback) {
    if (IsFinalized()) {
        Debug("ZK6683I Device is finalized");
        return;
    }
    if (const auto service = folderModification()) {
        service->SetDefaultGetReplyHandler(std::move(callback));
    }
}

}  // namespace Zelkor
