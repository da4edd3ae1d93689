#pragma once
// A subscription service that does nothing: the base of test doubles that record only
// the few operations they care about (add `using SubscriptionServiceStub::ValueChanged;`
// when overriding some forms of ValueChanged).

#include <memory>
#include <string>
#include <vector>

#include "core/IServiceBaseImpl.h"
#include "services/ISubscriptionService.h"

namespace ZelkorTest {

class SubscriptionServiceStub : public Zelkor::IServiceBaseImpl<Zelkor::ISubscriptionService> {
public:
    void LogEvent(const std::string&) override {}
    void SendSubscribe(void*, const char*, const char*) override {}
    void SendUnsubscribe(void*, const char*) override {}
    void SendMultiSubscribe(void*, Zelkor::ObjectParamContainer&, Zelkor::MessageForwardInfo&) override {}
    void SendMultiUnsubscribe(void*, Zelkor::ObjectParamContainer&, Zelkor::MessageForwardInfo&) override {}
    void SendSubscribePoll(void*, const char*, std::vector<std::string>, Zelkor::MessageForwardInfo&,
                           const char*) override {}
    void SendUnsubscribePoll(void*, Zelkor::MessageForwardInfo&, const char*) override {}
    void SendPollSubscription(void*, const char*, Zelkor::MessageForwardInfo&) override {}
    void SendListPublishers(void*, Zelkor::MessageForwardInfo&) override {}
    void SendLogRow(void*, LOGROW&, Zelkor::MessageForwardInfo&) override {}
    void SendLogRow(LOGROW&) override {}
    void SendSubLog(void*, long long, unsigned, Zelkor::MessageForwardInfo&) override {}
    void SendUnsubLog(void*, Zelkor::MessageForwardInfo&) override {}
    void ValueChanged(const char*, const char*, const char*, bool) override {}
    void ValueChanged(const char*, const char*, const char*, const char*, bool) override {}
    void ValueChanged(const char*, const char*, const char*, bool, std::weak_ptr<Zelkor::IStorage>) override {}
    void ValueChanged(const char*, const char*, const char*, const char*, bool,
                      std::weak_ptr<Zelkor::IStorage>) override {}
    void RemoveSubscription(void*) override {}
};

}  // namespace ZelkorTest
