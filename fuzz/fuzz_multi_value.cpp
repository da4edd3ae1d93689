// Arbitrary bytes as the body of "get" and "set" lines, requests and replies, and as a
// whole line: the multi-value reader, the container built from what it read, a reply
// filled from that container as a device fills one, and the writer of both. The entry
// bound holds throughout, every written line is one line, and a written reply reads back
// without reaching the bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/ZelkorLog.h"
#include "services/FolderLookup.h"
#include "services/MultiGetValue.h"
#include "services/MultiSetValue.h"
#include "storage/RequestBound.h"

namespace {

using Zelkor::FolderLookup;
using Zelkor::MultiSetGetWorker;
using Zelkor::ObjectParamContainer;

// Small enough for fuzz inputs to reach.
constexpr std::size_t kBound = 16;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::unique_ptr<MultiSetGetWorker> make(bool set) {
    if (set) {
        return std::make_unique<Zelkor::MultiSetValue>(true);
    }
    return std::make_unique<Zelkor::MultiGetValue>(true);
}

std::size_t pairCount(const ObjectParamContainer& container) {
    std::size_t count = 0;
    for (const auto& path : container.GetContainerNames()) {
        for (const auto& value : *container.GetContainers(path)) {
            for (const auto& name : value.GetContainerNames()) {
                count += value.GetContainer(name)->size();
            }
        }
    }
    return count;
}

// A built line is empty (a refused header) or one line ending in its only "\n".
void checkLine(const std::string& line) {
    check(line.empty() || line.find('\n') == line.size() - 1);
}

void exercise(bool set, bool request, const std::string& line) {
    auto message = make(set);
    std::string error;
    message->FromNetworkFormat(request, line, error);
    check(message->EntryCount() <= kBound);

    ObjectParamContainer container;
    FolderLookup::BuildObjects(message->GetValues(), container, set || !request);
    check(pairCount(container) <= message->EntryCount());

    auto reply = make(set);
    reply->SetMessageForwardInfo(message->GetMessageForwardInfo());
    reply->SetIsReply(true);
    check(FolderLookup::ProcessObjectsIntoWorkerMessage(false, *reply, container));
    check(reply->EntryCount() == pairCount(container));

    const std::string written = reply->Build(false);
    checkLine(written);
    checkLine(message->Build(request));
    checkLine(message->Build(!request));
    reply->ToNetworkFormat(false, false);

    auto reread = make(set);
    if (!reread->FromNetworkFormat(false, written, error)) {
        check(error != Zelkor::kTooManyEntries);
    }
    check(reread->EntryCount() <= reply->EntryCount());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Rejected lines are logged; keep the formatting but not the console.
    ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
    Zelkor::SetMaxEntriesPerMessage(kBound);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const bool set : {false, true}) {
        for (const bool request : {true, false}) {
            const std::string word = std::string(request ? "" : "@") + (set ? "set" : "get");
            exercise(set, request, word + " " + bytes);
        }
        exercise(set, true, bytes);
        exercise(set, false, bytes);
    }
    return 0;
}
