#pragma once
// "get": many values in one line (see MultiSetGetWorker for the body). The request
// carries paths only, the reply values.
//
// Ownership and threads as for every Message.

#include <memory>

#include "services/MultiSetGetWorker.h"

namespace Zelkor {

class MultiGetValue : public MultiSetGetWorker {
public:
    explicit MultiGetValue(bool flag) : MultiSetGetWorker(flag) {}

    const char* CommandName() const override { return "get"; }
    std::unique_ptr<MultiSetGetWorker> Factory() const override;
};

// The creator of the word "get": an empty message with the flag set.
std::unique_ptr<Message> CreateGetValue();

}  // namespace Zelkor
