#pragma once
// The subscription service on a device serving the sample tree, over the recording
// sender: requests are handed to it as the driver's receive road hands them over (header
// parsed, body read, the word's signal raised), on two connections A and B.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/JsonText.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "services/FolderLookup.h"
#include "services/ListPublishers.h"
#include "services/LogMessages.h"
#include "services/SubscribePollWorker.h"
#include "services/SubscriptionService.h"
#include "services/ValueSubscriptionMessages.h"
#include "storage/JsonModel.h"
#include "storage/JsonTextIO.h"
#include "storage/ObjectParamContainer.h"
#include "storage/StorageModel.h"
#include "support/FakeServiceSender.h"
#include "support/SampleTree.h"
#include "support/TempDir.h"

namespace ZelkorTest {

// A model whose JSON reads of one path fail, so that a subscribed value can stop reading,
// and whose event log may lose its oldest rows as a full log does.
class FailingModel : public Zelkor::JsonModel {
public:
    using JsonModel::GetValueForPath;
    using JsonModel::JsonModel;
    STATUS GetValueForPath(const char* path, const char* format, Json::Value& value) override {
        if (!failing.empty() && failing == path) {
            return InvalidPath;
        }
        return JsonModel::GetValueForPath(path, format, value);
    }
    bool RetrieveEventsUpTo(long long from, unsigned minimumPriority, std::size_t maxBytes,
                            std::vector<std::string>& out) override {
        if (from > 0 && static_cast<std::uint64_t>(from) < gone) {
            return true;
        }
        std::vector<std::string> rows;
        JsonModel::RetrieveEventsUpTo(from, minimumPriority, maxBytes, rows);
        for (auto& text : rows) {
            Json::Value row;
            std::string error;
            if (Zelkor::ParseJsonText(text, row, error) && row["seqno"].asUInt64() >= gone) {
                out.push_back(std::move(text));
            }
        }
        return true;
    }
    std::string failing;
    // Rows numbered below this have left the log.
    std::uint64_t gone = 0;
};

// Restores a process-wide bound when the test ends.
template <class Get, class Set>
struct BoundGuard {
    BoundGuard(Get get, Set set, std::size_t value) : _set(set), _was(get()) { set(value); }
    ~BoundGuard() { _set(_was); }
    Set _set;
    std::size_t _was;
};

// Logs at the given level while it lives.
struct LogLevelGuard {
    explicit LogLevelGuard(unsigned long level) : _was(ZelkorLog::TheLog().GetLevel()) {
        ZelkorLog::TheLog().SetLevel(level);
    }
    ~LogLevelGuard() { ZelkorLog::TheLog().SetLevel(_was); }
    unsigned long _was;
};

class SubscriptionServiceTest : public ::testing::Test {
protected:
    using Service = Zelkor::SubscriptionService;

    explicit SubscriptionServiceTest(Service::LoopPoster toLoop = {}) {
        service = std::make_shared<Service>(&sender, storage, std::move(toLoop));
        storage->SetStorageEventHandler(service.get());
    }

    // A request line from the controller "ctl" (or as written) to this device "dev",
    // handled on `conn`, or a reply ("@" before the word); the lines the service sent
    // meanwhile come back.
    std::vector<std::string> Request(void* conn, const std::string& line, bool reliable = true) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("dev");
        const std::string rest = header.PullHeader(line);
        const std::string word = header.GetCommand();
        const bool reply = header.isReply;
        std::unique_ptr<Zelkor::Message> message = Create(word);
        std::string error;
        EXPECT_TRUE(message->FromReceived(!reply, rest, header, error)) << line << ": " << error;
        message->SetMessageForwardInfo(header);
        message->SetIsReply(reply);
        Zelkor::MessageSignalData data(conn, nullptr, reliable, std::move(message));
        const std::size_t before = sender.Count();
        if (word == "list") {
            service->SignalRaised(data);
        } else {
            SignalOf(word).Raise(data);
        }
        return Since(before);
    }
    // The one line a request was answered with ("" when none or more).
    std::string Answer(void* conn, const std::string& line, bool reliable = true) {
        const auto lines = Request(conn, line, reliable);
        return lines.size() == 1 ? lines.front() : std::string();
    }
    // A value written into the tree as the application writes it (unenforced); the lines
    // the service sent meanwhile.
    std::vector<std::string> Write(const std::string& path, const Json::Value& value) {
        const std::size_t before = sender.Count();
        EXPECT_EQ(model->SetValueForPath(path.c_str(), "variant", value, false), Zelkor::IStorage::PathOk) << path;
        return Since(before);
    }
    // The entries of a multi-value reply line as its requester reads them: "path" (and
    // " format" when one travels) to "error:<text>" or the value's compact JSON.
    static std::map<std::string, std::string> Entries(const std::string& line) {
        Zelkor::MessageForwardInfo header;
        const std::string rest = header.PullHeader(line);
        auto message = Create(header.GetCommand());
        std::string error;
        EXPECT_TRUE(message->FromReceived(false, rest, header, error)) << line << ": " << error;
        Zelkor::ObjectParamContainer container;
        Zelkor::FolderLookup::BuildObjects(dynamic_cast<Zelkor::MultiSetGetWorker&>(*message).GetValues(), container,
                                           true);
        std::map<std::string, std::string> out;
        for (const auto& entry : container.ToJson()) {
            std::string key = entry["path"].asString();
            if (entry.isMember("format")) {
                key += " " + entry["format"].asString();
            }
            out[key] = entry.isMember("error") ? "error:" + entry["error"].asString()
                                               : Zelkor::WriteCompactJson(entry["value"]);
        }
        return out;
    }
    std::vector<std::string> Since(std::size_t before) const {
        std::vector<std::string> out;
        const auto lines = sender.Lines();
        for (std::size_t i = before; i < lines.size(); ++i) {
            std::string text = lines[i].text;
            if (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            out.push_back(std::move(text));
        }
        return out;
    }
    // "path format" of every value subscription of the connection.
    std::vector<std::string> Subscribed(void* conn) const {
        std::vector<std::string> out;
        for (const auto& [path, formats] : service->Values()) {
            for (const auto& [format, subscribers] : formats) {
                if (subscribers.count(Zelkor::SubscriberKey(conn)) != 0) {
                    out.push_back(path + " " + format);
                }
            }
        }
        return out;
    }

    static std::unique_ptr<Zelkor::Message> Create(const std::string& word) {
        static const std::map<std::string, Zelkor::MessageFactoryFunction> creators = {
            {"subscribe", Zelkor::CreateSubscribe},
            {"unsubscribe", Zelkor::CreateUnsubscribe},
            {"publish", Zelkor::CreatePublish},
            {"subscribepoll", Zelkor::CreateSubscribePoll},
            {"unsubscribepoll", Zelkor::CreateUnsubscribePoll},
            {"poll", Zelkor::CreatePollSubscription},
            {"log", Zelkor::CreateLogRow},
            {"sublog", Zelkor::CreateSubLog},
            {"unsublog", Zelkor::CreateUnsubLog},
            {"list", Zelkor::CreateListPublishers},
        };
        return creators.at(word)();
    }
    Zelkor::Signal<Zelkor::MessageSignalData>& SignalOf(const std::string& word) {
        const std::map<std::string, Zelkor::Signal<Zelkor::MessageSignalData>& (Service::*)()> signals = {
            {"subscribe", &Service::SubscribeSignal},
            {"unsubscribe", &Service::UnsubscribeSignal},
            {"publish", &Service::PublishSignal},
            {"subscribepoll", &Service::SubscribePollSignal},
            {"unsubscribepoll", &Service::UnsubscribePollSignal},
            {"poll", &Service::PollSubscriptionSignal},
            {"log", &Service::LogRowSignal},
            {"sublog", &Service::SubLogSignal},
            {"unsublog", &Service::UnsubLogSignal},
        };
        return ((*service).*signals.at(word))();
    }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    std::shared_ptr<FailingModel> model = std::make_shared<FailingModel>(SampleTree());
    std::shared_ptr<StorageModel> storage = std::make_shared<StorageModel>(model);
    FakeServiceSender sender;
    std::shared_ptr<Service> service;
    void* const a = reinterpret_cast<void*>(0x1000);
    void* const b = reinterpret_cast<void*>(0x2000);
};

}  // namespace ZelkorTest
