#include "core/ExecutionLock.h"

namespace Zelkor {

ExecutionLock::ExecutionLock(Execution::access access, Execution& execution)
    : _access(access), _execution(execution) {
    Lock();
}

ExecutionLock::~ExecutionLock() { Unlock(); }

void ExecutionLock::Lock() {
    if (_locked) {
        return;  // taking it twice would leak a reader or leave the writer waiting on itself
    }
    if (_access == Execution::write) {
        _execution.WriteLock();
    } else if (_access == Execution::read) {
        _execution.ReadLock();
    } else {
        return;
    }
    _locked = true;
}

void ExecutionLock::Unlock() {
    if (!_locked) {
        return;
    }
    if (_access == Execution::write) {
        _execution.WriteUnlock();
    } else {
        _execution.ReadUnlock();
    }
    _locked = false;
}

}  // namespace Zelkor
