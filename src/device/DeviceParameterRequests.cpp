// The parameter requests of a device: "get" and "set" of many values, handed to the
// folder-modification service on the connection a request takes, and the default
// handlers of their replies. A request that finds no connection is answered all the same,
// every value failed, on the loop.

#include "device/DeviceImpl.h"

#include <utility>

#include "core/RequestErrors.h"
#include "driver/ZelkorDriver.h"
#include "services/FailedValues.h"
#include "services/FolderModificationService.h"
#include "storage/ObjectParamContainer.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

using Callback = std::function<void(const ObjectParamContainer&)>;

}  // namespace

std::shared_ptr<IFolderModificationService> DeviceImpl::folderModification() const {
    const auto owner = _driver.lock();
    IFolderModificationService* service = owner ? owner->GetFolderModificationService() : nullptr;
    return service ? std::shared_ptr<IFolderModificationService>(owner, service) : nullptr;
}

template <class Send>
bool DeviceImpl::parameterRequest(const char* finalizedText, Send&& send) {
    if (IsFinalized()) {
        Debug(finalizedText);
        return false;
    }
    const auto service = folderModification();
    if (!service) {
        return false;
    }
    // The service reads the container and builds the line before this returns; the
    // header is this request's own copy. What `send` captured by reference it may move on.
    return ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        send(*service, ZelkorDriver::HandleOf(socket.get()), header);
    });
}

void DeviceImpl::answerUnreached(const char* word, const ObjectParamContainer& values, Callback callback) {
    answerLater([word, failed = FailedValues(word, values, kDeviceNotConnected),
                 callback = std::move(callback)](ZelkorDriver& owner) {
        if (callback) {
            callback(failed);
        } else if (auto* service = dynamic_cast<FolderModificationService*>(owner.GetFolderModificationService())) {
            service->AnswerUnsent(word, nullptr, failed);
        }
    });
}

void DeviceImpl::SetParameter(ObjectParamContainer& values) {
    if (!parameterRequest("ZK6680I Device is finalized",
                          [&](IFolderModificationService& service, void* handle, MessageForwardInfo& header) {
                              service.SendMultiSetValue(handle, values, header, true);
                          })) {
        answerUnreached("set", values, nullptr);
    }
}

void DeviceImpl::SetParameter(ObjectParamContainer& values, Callback callback, bool deferrable, std::string tag) {
    if (!parameterRequest("ZK6681I Device is finalized",
                          [&](IFolderModificationService& service, void* handle, MessageForwardInfo& header) {
                              if (deferrable && IsRunningScript()) {
                                  Info("ZK6682I SetParameter deferred for (" + nameText() + ")");
                                  return;
                              }
                              service.SendMultiSetValue(handle, values, header, std::move(callback), true,
                                                        std::move(tag));
                          })) {
        answerUnreached("set", values, std::move(callback));
    }
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
    if (!parameterRequest("ZK6684I Device is finalized",
                          [&](IFolderModificationService& service, void* handle, MessageForwardInfo& header) {
                              service.SendMultiGetValue(handle, values, header, true);
                          })) {
        answerUnreached("get", values, nullptr);
    }
}

void DeviceImpl::GetParameter(ObjectParamContainer& values, Callback callback, bool deferrable, std::string tag) {
    if (!parameterRequest("ZK6685I Device is finalized",
                          [&](IFolderModificationService& service, void* handle, MessageForwardInfo& header) {
                              if (deferrable && IsRunningScript()) {
                                  Info("ZK6686I GetParameter deferred for (" + nameText() + ")");
                                  return;
                              }
                              service.SendMultiGetValue(handle, values, header, std::move(callback), true,
                                                        std::move(tag));
                          })) {
        answerUnreached("get", values, std::move(callback));
    }
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
