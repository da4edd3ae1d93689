// The digest taken beside the loop: whatever thread digests, the result is the MD5 of the
// bytes in the order added; buffers come back for reuse; and a worker that stops with
// blocks still waiting makes the digest report nothing rather than a digest of part.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <thread>

#include "core/Digest.h"
#include "filetransfer/BlockDigest.h"
#include "filetransfer/TransferWorker.h"

using Zelkor::BlockDigest;
using Zelkor::TransferWorker;

namespace {

std::string Md5Of(const std::string& bytes) {
    MD5Digest digest;
    digest.Update(bytes);
    return digest.GetDigest();
}

std::string Block(int number, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((number * 131 + i * 7) & 0xff);
    }
    return bytes;
}

}  // namespace

TEST(BlockDigest, DigestsTheBlocksInOrderWithOrWithoutAWorker) {
    TransferWorker worker;
    for (TransferWorker* on : {&worker, static_cast<TransferWorker*>(nullptr)}) {
        BlockDigest digest;
        std::string whole;
        std::string buffer;
        bool reused = false;
        for (int number = 0; number < 300; ++number) {
            const std::string bytes = Block(number, 1000 + number % 7);
            whole += bytes;
            buffer.assign(bytes);
            digest.Add(on, buffer);
            EXPECT_TRUE(buffer.empty());
            reused = reused || buffer.capacity() >= 1000;
        }
        EXPECT_TRUE(reused) << "no buffer came back";
        const std::string result = digest.GetDigest();
        EXPECT_EQ(result, Md5Of(whole));
        std::string late = "ignored";
        digest.Add(on, late);
        EXPECT_EQ(digest.GetDigest(), result);
    }
}

TEST(BlockDigest, AWorkerStoppingWithBlocksWaitingLeavesNoDigest) {
    auto worker = std::make_unique<TransferWorker>();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> running;
    ASSERT_TRUE(worker->Post([&running, released] {
        running.set_value();
        released.wait();
    }));
    running.get_future().wait();
    BlockDigest digest;
    std::string bytes = "held behind the running job";
    digest.Add(worker.get(), bytes);
    std::thread stopping([&worker] { worker.reset(); });
    // Returns once the stopping worker dropped the block, before its running job ends.
    const std::string result = digest.GetDigest();
    release.set_value();
    stopping.join();
    EXPECT_TRUE(result.empty());
}
