#pragma once
// The value-subscription words, multi-value messages that differ from "get" only in their
// word; the worker decides by the word what travels (see MultiSetGetWorker for the body):
//   "subscribe"    request: paths (and formats) only; reply: each path's current value or
//                  error. Every entry read needs a path unless it carries an error.
//   "unsubscribe"  paths only, both ways; no path is required, and an empty body (the
//                  bare word) asks the device to drop every subscription of the connection.
//   "publish"      request (device to subscriber): the changed values; reply: the bare
//                  word, paths only, no path required.
// A reply of any of the three may be the bare word (no entries).
//
// Ownership and threads as for every Message. The readers never throw on peer text and
// stop at MaxEntriesPerMessage() entries ("Too many entries").

#include <memory>

#include "services/MultiSetGetWorker.h"

namespace Zelkor {

class Subscribe : public MultiSetGetWorker {
public:
    Subscribe() : MultiSetGetWorker(false) {}

    const char* CommandName() const override { return "subscribe"; }
    std::unique_ptr<MultiSetGetWorker> Factory() const override;
};

class Unsubscribe : public MultiSetGetWorker {
public:
    Unsubscribe() : MultiSetGetWorker(false) {}

    const char* CommandName() const override { return "unsubscribe"; }
    std::unique_ptr<Message> Instantiate() const override;
    std::unique_ptr<MultiSetGetWorker> Factory() const override;
};

class MultiPublishValue : public MultiSetGetWorker {
public:
    explicit MultiPublishValue(bool flag) : MultiSetGetWorker(flag) {}

    const char* CommandName() const override { return "publish"; }
    // An empty message with the flag set.
    std::unique_ptr<MultiSetGetWorker> Factory() const override;
};

// The creators of the three words, as the subscription service registers them: each a new
// empty message ("publish" with the flag set).
std::unique_ptr<Message> CreateSubscribe();
std::unique_ptr<Message> CreateUnsubscribe();
std::unique_ptr<Message> CreatePublish();

}  // namespace Zelkor
