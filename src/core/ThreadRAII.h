#pragma once
// Owns one thread and joins it when destroyed, so that a thread can never outlive the
// object whose members it uses.
//
// Ownership: the thread belongs to this object alone; moving hands it over.
// Threads: not shared between threads. The owned thread must not destroy its own
// ThreadRAII (a thread cannot join itself).

#include <thread>

namespace Zelkor {

class ThreadRAII {
public:
    explicit ThreadRAII(std::thread&& thread);
    ThreadRAII(ThreadRAII&& other) noexcept = default;
    ThreadRAII(const ThreadRAII&) = delete;
    ThreadRAII& operator=(const ThreadRAII&) = delete;
    ThreadRAII& operator=(ThreadRAII&&) = delete;
    ~ThreadRAII();

private:
    std::thread _thread;
};

}  // namespace Zelkor
