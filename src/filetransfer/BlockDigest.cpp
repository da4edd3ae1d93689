#include "filetransfer/BlockDigest.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

#include "core/Digest.h"
#include "filetransfer/TransferWorker.h"

namespace Zelkor {

namespace {

// Blocks waiting per digest: one digested while the loop takes the next is all the
// overlap there is to gain; more would only hold memory.
constexpr std::size_t kMaxWaiting = 2;

}  // namespace

struct BlockDigest::State {
    std::mutex mutex;
    std::condition_variable idle;
    MD5Digest digest;
    std::size_t waiting = 0;
    bool lost = false;
    bool finished = false;
    std::vector<std::string> spare;

    void waitFor(std::unique_lock<std::mutex>& lock, std::size_t most) {
        idle.wait(lock, [this, most] { return waiting <= most; });
    }
};

// One block on its way through the worker. Destroyed unrun (the worker stopping), it
// marks the digest lost, so that no digest of only part of the bytes is ever reported.
struct BlockDigest::Pending {
    explicit Pending(std::shared_ptr<State> owner) : state(std::move(owner)) {}
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    ~Pending() {
        if (!done) {
            finish(true);
        }
    }

    void Run() {
        state->digest.Update(bytes.data(), static_cast<unsigned long>(bytes.size()));
        finish(false);
    }

    void finish(bool lostBytes) {
        done = true;
        bytes.clear();
        std::lock_guard<std::mutex> lock(state->mutex);
        state->lost = state->lost || lostBytes;
        if (state->spare.size() < kMaxWaiting) {
            state->spare.push_back(std::move(bytes));
        }
        --state->waiting;
        state->idle.notify_all();
    }

    std::shared_ptr<State> state;
    std::string bytes;
    bool done = false;
};

BlockDigest::BlockDigest() : _state(std::make_shared<State>()) {}

BlockDigest::~BlockDigest() = default;

void BlockDigest::Add(TransferWorker* worker, std::string& bytes) {
    if (!_state) {
        _state = std::make_shared<State>();
    }
    State& state = *_state;
    auto pending = std::make_shared<Pending>(_state);
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        if (state.finished) {
            // Ignored, as bytes after the end of a digest are.
            pending->done = true;
            bytes.clear();
            return;
        }
        state.waitFor(lock, kMaxWaiting - 1);
        pending->bytes.swap(bytes);
        if (!state.spare.empty()) {
            bytes.swap(state.spare.back());
            state.spare.pop_back();
        }
        ++state.waiting;
    }
    if (worker && worker->Post([pending] { pending->Run(); })) {
        return;
    }
    // Here, after the blocks before it: the order is the digest.
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.waitFor(lock, 1);
    }
    pending->Run();
}

std::string BlockDigest::GetDigest() {
    if (!_state) {
        _state = std::make_shared<State>();
    }
    State& state = *_state;
    std::unique_lock<std::mutex> lock(state.mutex);
    state.waitFor(lock, 0);
    state.finished = true;
    return state.lost ? std::string() : state.digest.GetDigest();
}

}  // namespace Zelkor
