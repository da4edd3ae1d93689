// The subscription requests of a device and the callbacks they answer to: value
// subscriptions and their publishes, polled subscriptions, the log words, and the reply to
// a locate. Requests go to the subscription service on the connection a request takes;
// each callback is fed by one handler on a service's word signal that keeps only this
// device's messages and calls a copy of the callback outside the device's locks.

#include "device/DeviceImpl.h"

#include <utility>

#include <boost/asio/ip/address.hpp>
#include <json/value.h>

#include "core/MessageSignalData.h"
#include "core/RequestErrors.h"
#include "discovery/DiscoveryService.h"
#include "discovery/GuidText.h"
#include "discovery/NumberText.h"
#include "driver/ZelkorDriver.h"
#include "services/FailedValues.h"
#include "services/FolderLookup.h"
#include "services/ISubscriptionService.h"
#include "services/LogMessages.h"
#include "services/MultiSetGetWorker.h"
#include "services/SubscribePollWorker.h"
#include "storage/LogRow.h"
#include "storage/ObjectParamContainer.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

struct DeviceImpl::LocateWait {
    // Under the device's mutex.
    boost::signals2::connection own;
};

namespace {

std::string textOf(const Message& message, Param p) {
    const char* text = message.GetParameter(p);
    return text ? std::string(text) : std::string();
}

// The values of a multi-value message, as the application reads them.
bool valuesOf(const Message& message, ObjectParamContainer& container) {
    const auto* values = dynamic_cast<const MultiSetGetWorker*>(&message);
    if (!values) {
        return false;
    }
    FolderLookup::BuildObjects(values->GetValues(), container, true);
    return true;
}

}  // namespace

std::shared_ptr<ISubscriptionService> DeviceImpl::subscriptions() const {
    const auto owner = _driver.lock();
    ISubscriptionService* service = owner ? owner->GetSubscriptionService() : nullptr;
    return service ? std::shared_ptr<ISubscriptionService>(owner, service) : nullptr;
}

DeviceImpl::Hook DeviceImpl::hook(Cookie slot, bool withDriver, IServiceBase* service, const char* word,
                                  std::function<void(MessageSignalData&)> filter, boost::signals2::connection* made) {
    // Held past the lock: cutting the slot's previous handler may drop the last other
    // owner of this device.
    const auto self = shared_from_this();
    std::lock_guard<std::mutex> lock(_mutex);
    if (!made && _cookies.IsConnected(slot)) {
        return Hook::Already;
    }
    // Nothing of a finalized device would ever cut the handler again.
    if (IsFinalized()) {
        return Hook::Finalized;
    }
    if (!withDriver) {
        return Hook::NoDriver;
    }
    if (!service) {
        return Hook::NoService;
    }
    boost::signals2::connection connection = service->AddHandler2(word, std::move(filter));
    if (made) {
        *made = connection;
    }
    _cookies.Keep(slot, std::move(connection));
    // Finalize sets its flag before it cuts the cookies: one that raced past the check
    // above is cut here, or by Finalize itself.
    if (IsFinalized()) {
        _cookies.Keep(slot, boost::signals2::connection());
        return Hook::Finalized;
    }
    return Hook::Connected;
}

std::function<void(MessageSignalData&)> DeviceImpl::sourceFilter(bool replies,
                                                                 std::function<void(const Message&)> serve) {
    return [self = shared_from_this(), replies, serve = std::move(serve)](MessageSignalData& data) {
        const Message* message = data.GetMessage();
        if (message && message->GetIsReply() == replies && self->MatchSource(data)) {
            serve(*message);
        }
    };
}

// --- value subscriptions -----------------------------------------------------------------

void DeviceImpl::Subscribe(ObjectParamContainer& values) {
    Trace("ZK6689I DeviceImpl::Subscribe begin");
    if (_driver.expired()) {
        Error("ZK6690E DeviceImpl::Subscribe no driver");
        return;
    }
    const auto service = subscriptions();
    if (!service) {
        Error("ZK6691E DeviceImpl::Subscribe no subscription service");
        return;
    }
    const bool went = ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendMultiSubscribe(ZelkorDriver::HandleOf(socket.get()), values, header);
    });
    if (!went) {
        answerUnsent(&DeviceImpl::_onSubscribe, values);
    }
    Trace("ZK6692I DeviceImpl::Subscribe end");
}

void DeviceImpl::Unsubscribe(ObjectParamContainer& values) {
    if (const auto service = subscriptions()) {
        const bool went = ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
            service->SendMultiUnsubscribe(ZelkorDriver::HandleOf(socket.get()), values, header);
        });
        if (!went) {
            answerUnsent(&DeviceImpl::_onUnsubscribe, values);
        }
    }
}

void DeviceImpl::answerUnsent(ValuesCallback DeviceImpl::*callback, const ObjectParamContainer& values) {
    // Its reply would have come to the callback: so does its refusal, each value failed,
    // as a get without a connection is answered.
    answerLater([self = shared_from_this(), callback, failed = FailedValues("get", values, kDeviceNotConnected)](
                    ZelkorDriver&) {
        if (const auto deliver = self->copy((*self).*callback)) {
            deliver(failed);
        }
    });
}

// The handlers below own the device (sourceFilter), so `this` stays valid in `serve`.

void DeviceImpl::OnSubscribe(ValuesCallback callback) {
    store(_onSubscribe, std::move(callback));
    hook(Cookie::Subscribe, !_driver.expired(), subscriptions().get(), "subscribe",
         sourceFilter(true, [this](const Message& message) {
             const auto deliver = copy(_onSubscribe);
             ObjectParamContainer values;
             if (deliver && valuesOf(message, values)) {
                 deliver(values);
             }
         }));
}

void DeviceImpl::OnUnsubscribe(ValuesCallback callback) {
    store(_onUnsubscribe, std::move(callback));
    hook(Cookie::Unsubscribe, !_driver.expired(), subscriptions().get(), "unsubscribe",
         sourceFilter(true, [this](const Message& message) {
             const auto deliver = copy(_onUnsubscribe);
             ObjectParamContainer values;
             if (deliver && valuesOf(message, values)) {
                 deliver(values);
             }
         }));
}

void DeviceImpl::OnPublish(ValuesCallback callback) {
    store(_onPublish, std::move(callback));
    hook(Cookie::Publish, !_driver.expired(), subscriptions().get(), "publish",
         sourceFilter(false, [this](const Message& message) {
             const auto deliver = copy(_onPublish);
             ObjectParamContainer values;
             if (deliver && valuesOf(message, values)) {
                 deliver(values);
             }
         }));
}

// --- polled subscriptions ----------------------------------------------------------------

void DeviceImpl::SubscribePoll(const char* name, const std::vector<std::string>& paths, const char* format) {
    if (!name) {
        return;
    }
    if (const auto service = subscriptions()) {
        const char* const word = format ? format : "variant";
        ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
            service->SendSubscribePoll(ZelkorDriver::HandleOf(socket.get()), name, paths, header, word);
        });
    }
}

void DeviceImpl::UnsubscribePoll(const char* name) {
    if (!name) {
        return;
    }
    if (const auto service = subscriptions()) {
        ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
            service->SendUnsubscribePoll(ZelkorDriver::HandleOf(socket.get()), header, name);
        });
    }
}

void DeviceImpl::PollSubscription(const char* name) {
    if (!name) {
        return;
    }
    if (const auto service = subscriptions()) {
        ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
            service->SendPollSubscription(ZelkorDriver::HandleOf(socket.get()), name, header);
        });
    }
}

void DeviceImpl::OnSubscribePoll(SubscribePollCallback callback, const std::string& defaultName) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _defaultPollName = defaultName;
    }
    store(_onSubscribePoll, std::move(callback));
    hook(Cookie::SubscribePoll, !_driver.expired(), subscriptions().get(), "subscribepoll",
         sourceFilter(true, [this](const Message& message) {
             SubscribePollCallback deliver;
             std::string name;
             {
                 std::lock_guard<std::mutex> lock(_mutex);
                 deliver = _onSubscribePoll;
                 name = _defaultPollName;
             }
             if (!deliver) {
                 return;
             }
             const char* error = message.GetParameter(Param::error);
             const auto* poll = dynamic_cast<const SubscribePollWorker*>(&message);
             Json::Value targets;
             if (!error && poll) {
                 targets = poll->TargetValues();
             }
             if (const char* given = message.GetParameter(Param::name)) {
                 name = given;
             }
             deliver(name.c_str(), !error, error ? std::string(error) : std::string(), targets);
         }));
}

void DeviceImpl::OnUnSubscribePoll(UnsubscribePollCallback callback) {
    store(_onUnsubscribePoll, std::move(callback));
    hook(Cookie::UnsubscribePoll, !_driver.expired(), subscriptions().get(), "unsubscribepoll",
         sourceFilter(true, [this](const Message& message) {
             const auto deliver = copy(_onUnsubscribePoll);
             if (!deliver) {
                 return;
             }
             if (!dynamic_cast<const SubscribePollWorker*>(&message)) {
                 deliver(false, std::string());
                 return;
             }
             const char* error = message.GetParameter(Param::error);
             deliver(!error, error ? std::string(error) : std::string());
         }));
}

void DeviceImpl::OnPoll(PollCallback callback) {
    if (!callback) {
        OnPollResult(PollResultCallback());
        return;
    }
    OnPollResult(PollResultCallback([callback = std::move(callback)](const char* name, const Json::Value& targets,
                                                               const std::string&) { callback(name, targets); }));
}

void DeviceImpl::OnPollResult(PollResultCallback callback) {
    store(_onPoll, std::move(callback));
    hook(Cookie::Poll, !_driver.expired(), subscriptions().get(), "poll",
         sourceFilter(true, [this](const Message& message) {
             const auto deliver = copy(_onPoll);
             if (!deliver) {
                 return;
             }
             const auto* poll = dynamic_cast<const SubscribePollWorker*>(&message);
             const char* error = message.GetParameter(Param::error);
             deliver(message.GetParameter(Param::name), poll ? poll->GetTargets() : Json::Value(),
                     error ? std::string(error) : std::string());
         }));
}

// --- locate ------------------------------------------------------------------------------

bool DeviceImpl::isOwnLocateReply(const MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message) {
        return false;
    }
    if (data.IsReliable()) {
        return MatchSource(data);
    }
    // A datagram comes on a socket every device shares: only the GUID tells whose it is.
    boost::uuids::uuid guid{};
    if (!ParseGuid(message->GetParamValue(Param::guid), guid)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    return !_record.Guid().is_nil() && guid == _record.Guid();
}

void DeviceImpl::OnLocate(LocateCallback callback) {
    auto wait = std::make_shared<LocateWait>();
    {
        std::lock_guard<std::mutex> lock(_mutex);
        std::swap(_onLocate, callback);
        _locateWait = wait;
    }
    const auto service = discovery();
    // Always a fresh handler: one still waiting is cut by the slot.
    hook(Cookie::Locate, !_driver.expired(), service.get(), "locate",
         [self = shared_from_this(), wait](MessageSignalData& data) { self->serveLocate(data, wait); }, &wait->own);
}

void DeviceImpl::serveLocate(MessageSignalData& data, const std::shared_ptr<LocateWait>& wait) {
    const Message* message = data.GetMessage();
    if (!message || !message->GetIsReply() || !isOwnLocateReply(data)) {
        return;
    }
    LocateCallback deliver;
    boost::signals2::connection own;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        // A handler replaced by a later OnLocate, or one that served already, is done.
        if (_locateWait != wait || !_onLocate) {
            return;
        }
        deliver = std::move(_onLocate);
        _onLocate = nullptr;
        _locateWait.reset();
        own = wait->own;
    }
    // Its own connection only: the slot may hold a newer wait by the time this runs.
    own.disconnect();
    LocateInfo info;
    info.reply = true;
    info.guid = message->GetParamValue(Param::guid);
    info.mac = message->GetParamValue(Param::mac);
    info.name = message->GetParamValue(Param::name);
    info.timeout = message->GetParamValue(Param::timeout);
    info.error = message->GetParamValue(Param::error);
    if (!info.error.empty()) {
        // A refusal tells no address of the device.
        deliver(info);
        return;
    }
    const std::string ip = message->GetParamValue(Param::ip);
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(ip, error);
    if (error) {
        Error("ZK6687E Could not parse ip parameter", ip);
    } else {
        info.ip = address;
    }
    const std::string port = message->GetParamValue(Param::port);
    if (!NumberText::ReadUnsigned(port, info.port)) {
        Error("ZK6688E Could not parse port parameter", port);
        info.port = 0;
    }
    deliver(info);
}

// --- log subscriptions -------------------------------------------------------------------

void DeviceImpl::SendLogRow(LOGROW& row) {
    if (_driver.expired()) {
        Warning("ZK6627W Driver is not available. Missing log row is (" + row.to_json() + ")");
        return;
    }
    const auto service = subscriptions();
    if (!service) {
        Warning("ZK6628W Subscription Service is not available. Missing log row is (" + row.to_json() + ")");
        return;
    }
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendLogRow(ZelkorDriver::HandleOf(socket.get()), row, header);
    });
}

void DeviceImpl::OnLog(LogCallback callback) {
    store(_logCB, std::move(callback));
    Debug("ZK6629I Log callback function is overwritten");
    switch (hook(Cookie::Log, !_driver.expired(), subscriptions().get(), "log",
                 sourceFilter(false, [this](const Message& message) {
                     const auto deliver = copy(_logCB);
                     const auto* row = dynamic_cast<const LogRow*>(&message);
                     if (!deliver || !row) {
                         return;
                     }
                     const LOGROW fields = row->GetRow();
                     const unsigned long long seqno = fields.seqno;
                     const long time = static_cast<long>(fields.time);
                     const unsigned int priority = fields.priority;
                     deliver(seqno, time, priority, fields.category, fields.event);
                 }))) {
        case Hook::Already:
            Debug("ZK6630I Log Cookie is already connected");
            break;
        case Hook::NoDriver:
            Warning("ZK6631W Driver is not avaliable");
            break;
        case Hook::NoService:
            Warning("ZK6632W Subscription Service is not avaliable");
            break;
        case Hook::Connected:
        case Hook::Finalized:
            break;
    }
}

void DeviceImpl::SendSubLog(long long mark, unsigned int priority) {
    if (_driver.expired()) {
        Warning("ZK6633W Driver is not avaliable");
        return;
    }
    const auto service = subscriptions();
    if (!service) {
        Warning("ZK6634W Subscription Service is not avaliable");
        return;
    }
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendSubLog(ZelkorDriver::HandleOf(socket.get()), mark, priority, header);
    });
}

void DeviceImpl::OnSendSubLog(TextCallback callback) {
    store(_onSubLog, std::move(callback));
    switch (hook(Cookie::SubLog, !_driver.expired(), subscriptions().get(), "sublog",
                 sourceFilter(true, [this](const Message& message) {
                     if (const auto deliver = copy(_onSubLog)) {
                         deliver(textOf(message, Param::error));
                     }
                 }))) {
        case Hook::Already:
            Debug("ZK6635I SubLog cookie is already connected");
            break;
        case Hook::NoDriver:
            Warning("ZK6636W Driver is not avaliable");
            break;
        case Hook::NoService:
            Warning("ZK6637W Subscription Service is not avaliable");
            break;
        case Hook::Connected:
        case Hook::Finalized:
            break;
    }
}

void DeviceImpl::UnSubLog() {
    if (_driver.expired()) {
        Warning("ZK6638W Driver is not avaliable");
        return;
    }
    const auto service = subscriptions();
    if (!service) {
        Warning("ZK6639W Subscription Service is not avaliable");
        return;
    }
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendUnsubLog(ZelkorDriver::HandleOf(socket.get()), header);
    });
}

void DeviceImpl::OnUnSubLog(TextCallback callback) {
    store(_onUnsubLog, std::move(callback));
    switch (hook(Cookie::UnsubLog, !_driver.expired(), subscriptions().get(), "unsublog",
                 sourceFilter(true, [this](const Message& message) {
                     if (const auto deliver = copy(_onUnsubLog)) {
                         deliver(textOf(message, Param::error));
                     }
                 }))) {
        case Hook::Already:
            Debug("ZK6640I UnsubLog cookie is already connected");
            break;
        case Hook::NoDriver:
            Warning("ZK6641W Driver is not avaliable");
            break;
        case Hook::NoService:
            Warning("ZK6642W Subscription Service is not avaliable");
            break;
        case Hook::Connected:
        case Hook::Finalized:
            break;
    }
}

}  // namespace Zelkor
