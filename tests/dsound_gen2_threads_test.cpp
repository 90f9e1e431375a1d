// "DSoundAudioIn2" stopped by a second thread while a reader streams on the virtual device with
// the clock advancing on its own: wherever the reader is (waiting for its first block, between
// blocks, deep in a run) it leaves GetData with a failure, Stop succeeds, and the component
// captures again after Start.  `./run tsan` runs this with ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "framework/Result.h"
#include "support/TestPlatform.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

TEST(DSoundGen2Threads, StopFromASecondThreadEndsAStreamingReaderAndStartResumes) {
    constexpr int32_t kBlockSamples = 320, kBlockBytes = kBlockSamples * 2;
    for (const int blocksBeforeStop : {0, 1, 3, 40}) {
        SCOPED_TRACE(blocksBeforeStop);
        test::VirtualSound sound;  // the clock jumps to whatever a thread waits for
        test::ComponentPtr in = test::Make("DSoundAudioIn2");
        ASSERT_EQ(in->SetProperty("SamplesPerSec", 16000, nullptr), kOk);
        ASSERT_EQ(in->SetProperty("BlockSamples", kBlockSamples, nullptr), kOk);
        ASSERT_EQ(in->SetProperty("InBufferTime", 60, nullptr), kOk);
        ASSERT_EQ(in->Build(), kOk);
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(in->Start(), kOk);
            std::atomic<int> read{0};
            std::atomic<int32_t> ended{0}, after{0};
            std::thread reader([&] {
                std::vector<int16_t> block(kBlockSamples);
                int32_t r;
                while ((r = in->GetData(block.data(), kBlockBytes)) == kBlockBytes) read.fetch_add(1);
                ended = r;
                after = in->GetData(block.data(), kBlockBytes);
            });
            while (read.load() < blocksBeforeStop) std::this_thread::yield();
            EXPECT_EQ(in->Stop(), kOk);
            reader.join();
            // Caught inside GetData: the platform code; arriving after Stop began: a wrong state.
            EXPECT_TRUE(ended == kErrPlatform || ended == kErrState) << std::hex << ended;
            EXPECT_EQ(after.load(), kErrState);
            EXPECT_GE(read.load(), blocksBeforeStop);
        }
    }
}

}  // namespace
}  // namespace zelmar
