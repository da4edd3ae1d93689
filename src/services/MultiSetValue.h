#pragma once
// "set": many values in one line (see MultiSetGetWorker for the body). Request and reply
// both carry values; the reply gives each entry its outcome.
//
// Ownership and threads as for every Message.

#include <memory>

#include "services/MultiSetGetWorker.h"

namespace Zelkor {

class MultiSetValue : public MultiSetGetWorker {
public:
    explicit MultiSetValue(bool flag) : MultiSetGetWorker(flag) {}

    const char* CommandName() const override { return "set"; }
    std::unique_ptr<MultiSetGetWorker> Factory() const override;
};

// The creator of the word "set": an empty message with the flag set.
std::unique_ptr<Message> CreateSetValue();

}  // namespace Zelkor
