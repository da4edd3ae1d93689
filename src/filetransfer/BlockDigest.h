#pragma once
// The MD5 of a transfer's bytes, taken on a worker thread while the event loop reads,
// writes and encodes the next block. Blocks are digested in the order they were added;
// at most two wait per digest, so a digest that falls behind slows the loop down instead
// of holding blocks in memory.
//
// Ownership: the digest's state is shared with its jobs on the worker. A job the worker
// drops (it is stopping) loses its bytes, and the digest then reports none rather than a
// wrong one. Move-only. Threads: one thread (the loop) calls the object; the worker
// touches only the shared state.

#include <memory>
#include <string>

namespace Zelkor {

class TransferWorker;

class BlockDigest {
public:
    BlockDigest();
    BlockDigest(BlockDigest&&) noexcept = default;
    BlockDigest& operator=(BlockDigest&&) noexcept = default;
    ~BlockDigest();

    // Digests `bytes` on `worker`, or at once on this thread when there is none or it takes
    // no more jobs. `bytes` comes back empty, in a buffer an earlier block left when the
    // worker is done with one, so that a transfer keeps reusing the same few buffers.
    void Add(TransferWorker* worker, std::string& bytes);

    // Waits for the bytes added; then the MD5 as 32 lower-case hexadecimal digits, the
    // same at every call. Bytes added after it are ignored. Empty when a job was lost.
    std::string GetDigest();

private:
    struct State;
    struct Pending;
    std::shared_ptr<State> _state;
};

}  // namespace Zelkor
