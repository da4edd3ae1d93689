// The "discovered" list: its message on the wire, and a node's answer, which carries no
// "command", taken as "discovered" by every reader on its way to the discovery service.

#include <gtest/gtest.h>

#include <tuple>

#include "core/MessageSignalData.h"
#include "services/ListCommand.h"
#include "services/ListCommandDiscovered.h"
#include "services/ListCommandRouter.h"
#include "support/DriverHarness.h"

namespace ZelkorTest {
namespace {

using Zelkor::ListCommand;
using Zelkor::ListCommandDiscovered;
using Zelkor::Param;

// name=value pairs of one endpoint, in order.
std::vector<std::string> pairsOf(const ListCommandDiscovered::Endpoint& endpoint) {
    std::vector<std::string> pairs;
    for (const auto& parameter : endpoint) {
        pairs.push_back(std::string(Zelkor::Message::GetStringFromParam(parameter.ParameterName())) + "=" +
                        parameter.ParameterValue(0));
    }
    return pairs;
}

TEST(ListCommandDiscovered, ReadsAndWritesEndpoints) {
    ListCommandDiscovered reply;
    std::string error;
    // The answer as nodes send it: no "command". Declared names in any letter case, one
    // value each; undeclared names, structured values and non-objects dropped.
    ASSERT_TRUE(reply.FromNetworkFormat(
        false,
        R"(@list {"endpoints":[{"port":4197,"name":"amp","bogus":"x","locating":false,"LABEL":"L","ip":["1"]},)"
        R"(7,{}]})",
        error))
        << error;
    EXPECT_EQ(reply.GetParamValue(Param::command), "discovered");
    ASSERT_EQ(reply.Endpoints().size(), 2u);
    EXPECT_EQ(pairsOf(reply.Endpoints()[0]),
              (std::vector<std::string>{"label=L", "locating=false", "name=amp", "port=4197"}));
    EXPECT_TRUE(reply.Endpoints()[1].empty());

    ListCommandDiscovered written;
    EXPECT_EQ(written.Build(false), "@list {\"command\":\"discovered\",\"endpoints\":[]}\n");
    written.AddEndpoint(reply.Endpoints()[0]);
    EXPECT_EQ(written.Build(true),
              "list {\"command\":\"discovered\",\"endpoints\":[{\"label\":\"L\",\"locating\":\"false\","
              "\"name\":\"amp\",\"port\":4197}]}\n");

    for (const auto& [request, line, text] : std::vector<std::tuple<bool, std::string, std::string>>{
             {true, "list {\"endpoints\":[]}", "Missing list command name."},
             {false, "@list {\"command\":\"\",\"endpoints\":[]}", "Missing list command name."},
             {false, "@list {\"endpoints\":\"x\"}", "endpoints is not array"}}) {
        ListCommandDiscovered refused;
        error.clear();
        EXPECT_FALSE(refused.FromNetworkFormat(request, line, error)) << line;
        EXPECT_EQ(error, text) << line;
    }
}

TEST(ListCommandDiscovered, AnAnswerWithoutCommandIsDiscovered) {
    ListCommand list;
    std::string error;
    const std::string answer = R"(@list {"endpoints":[{"name":"amp","port":"4197"}]})";
    ASSERT_TRUE(list.FromNetworkFormat(false, answer, error)) << error;
    EXPECT_EQ(list.GetParamValue(Param::command), "discovered");
    EXPECT_EQ(list.GetJson(), answer);
    ListCommand request;
    EXPECT_FALSE(request.FromNetworkFormat(true, "list {\"endpoints\":[]}", error));
    EXPECT_EQ(error, "Missing list command name.");

    // The router takes such an answer as "discovered" even from a message that holds no
    // "command", and hands the service the endpoints.
    struct Observer : Zelkor::ISignalObserver<Zelkor::MessageSignalData> {
        void SignalRaised(Zelkor::MessageSignalData& data) override {
            const auto* message = dynamic_cast<const ListCommandDiscovered*>(data.GetMessage());
            if (message && message->GetIsReply() && message->Endpoints().size() == 1) {
                endpoint = pairsOf(message->Endpoints()[0]);
            }
        }
        std::vector<std::string> endpoint;
    } observer;
    Zelkor::ListCommandRouter router(nullptr);
    router.AddRoute("discovered", &observer);
    auto bare = std::make_unique<ListCommandDiscovered>();
    bare->SetIsReply(true);
    bare->SetRawText(answer);
    Zelkor::MessageSignalData data(nullptr, nullptr, true, std::move(bare));
    router.SignalRaised(data);
    EXPECT_EQ(observer.endpoint, (std::vector<std::string>{"name=amp", "port=4197"}));
}

// Over a connection: the answer passes the receive road and the router to the discovery.
TEST(ListCommandDiscovered, AnAnswerReachesTheDiscovery) {
    DriverHarness harness;
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    peer.Send("@list {\"endpoints\":[{\"name\":\"amp\",\"port\":4197}]}\nfrob\n");
    EXPECT_EQ(peer.ReadLine(), "@frob \n");
    EXPECT_EQ(harness.discovery->Handled("list"), 1u);
}

}  // namespace
}  // namespace ZelkorTest
