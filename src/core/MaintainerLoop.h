#pragma once
// The maintainer of a task store: it sleeps until a task ends, then makes a pass (the
// owner drops its finished tasks), until the owner closes it.
//
// Ownership: owns only its flags; the owner keeps it alive until Close has returned.
// Threads: Wake from any thread, a task's on-finish included (it takes only this object's
// mutex, which is never held while anything else is waited for). Run on whichever thread
// the owner gives its maintainer, also on several at once. Close from the owner's
// destructor, on any other thread than a Run.

#include <condition_variable>
#include <functional>
#include <mutex>

namespace Zelkor {

class MaintainerLoop {
public:
    MaintainerLoop() = default;
    MaintainerLoop(const MaintainerLoop&) = delete;
    MaintainerLoop& operator=(const MaintainerLoop&) = delete;

    // A task has ended: the next pass is due.
    void Wake();
    // Makes a pass after every wake and one last pass once closed, then returns; returns
    // at once when closed already. The pass runs without this object's mutex.
    void Run(const std::function<void()>& pass);
    // Ends every Run after its current pass and returns once they all have returned.
    void Close();

private:
    void passes(const std::function<void()>& pass);

    std::mutex _mutex;
    std::condition_variable _condition;  // a wake, the closing, or a Run returning
    bool _wake = false;
    bool _open = true;
    int _runs = 0;
};

}  // namespace Zelkor
