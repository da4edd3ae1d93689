// Peer text that reaches the storage records: multi-value bodies, event rows and event
// texts, and value texts converted under the number formats. None of it may crash,
// throw or lose the compact one-line form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/ZelkorLog.h"
#include "storage/EventStore.h"
#include "storage/FormatValuePair.h"
#include "storage/LogRow.h"
#include "storage/ObjectParamContainer.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Refused input is logged; at this rate the lines would only slow the search down.
    ZelkorLog::TheLog().SetLevel(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    Zelkor::ObjectParamContainer container;
    if (container.FromJsonText(text)) {
        const std::string written = container.ToJsonText();
        Zelkor::ObjectParamContainer again;
        if (written.find('\n') != std::string::npos ||
            (!container.ToJson().isNull() && !again.FromJsonText(written))) {
            std::abort();
        }
        container.ToString();
        container.ToList();
    }

    LOGROW row;
    if (row.from_json(text)) {
        // Texts that are not UTF-8 come back with replacement characters, once.
        const std::string written = row.to_json();
        LOGROW back;
        if (!back.from_json(written) || back.seqno != row.seqno || back.time != row.time ||
            back.priority != row.priority || back.to_json() != written) {
            std::abort();
        }
    }

    static Zelkor::EventStore store(Zelkor::EventStoreLimits{64, 1u << 16});
    store.StoreEvent(text);

    Zelkor::FormatValuePair("number", text, false).ToString();
    Zelkor::FormatValuePair("variant", "integer", text, false).ToList();
    return 0;
}
