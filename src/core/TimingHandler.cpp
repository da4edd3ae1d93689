#include "core/TimingHandler.h"

#include <memory>
#include <utility>

namespace Zelkor {

namespace {

const TaskStoreTexts kTimerTexts{
    "ZK7010W Timing handler is not running. Timer is not created.",
    "ZK7011W Timer identifier is not unique. Timer is not created.",
    "ZK7007I Timer(",
    ") is removed.",
    "ZK7008I Timer(",
    ") is aborting and wait to finishing.",
    "ZK7009I All timer is dumped.",
};

}  // namespace

TimingHandler::TimingHandler() : ZelkorLoggable("TIME"), _store(*this, kTimerTexts) {}

TimingHandler::~TimingHandler() {
    _store.Close();
    _maintainer.Close();
    _store.AbortAndDumping();
}

long long TimingHandler::RunAfter(std::chrono::nanoseconds delay, std::function<void()>&& task) {
    _store.RemoveFinished();
    return _store.Add(std::make_shared<TimingTask>(std::move(task), [this] { _maintainer.Wake(); }),
                      [delay](TimingTask& timer) { timer.Run(delay); });
}

void TimingHandler::Abort(long long id) { _store.Abort(id); }

std::size_t TimingHandler::StoredTimerNumber() const { return _store.Size(); }

void TimingHandler::Run() {
    _maintainer.Run([this] {
        Trace("ZK7006I Maintainer thread is fired.");
        _store.RemoveFinished();
    });
}

void TimingHandler::RemoveFinished() { _store.RemoveFinished(); }

void TimingHandler::AbortAndDumping() { _store.AbortAndDumping(); }

}  // namespace Zelkor
