// "UDPAudioIn" and "UDPAudioOut" on the in-memory network and virtual time: the receiver's byte
// stream stays on its 2 560-byte datagram grid whatever arrives (short and empty datagrams, a
// Stop and a new Build), senders share one 40 ms grid, and the voice command's UDP link passes
// over a stray empty datagram; then two processes on real loopback sockets.
#include <gtest/gtest.h>

#include <zelmar/zelmar_split.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "streams/UDPAudioOut.h"
#include "support/FuzzReplay.h"
#include "support/TestPlatform.h"
#include "voice_network.h"
#define LLVMFuzzerTestOneInput UdpReceiverModelCheck
#include "../fuzz/udp_receiver_fuzzer.cpp"
#undef LLVMFuzzerTestOneInput

namespace zelmar {
namespace {

constexpr int32_t kDatagram = 2560;  // 40 ms at 32 kHz, the only size the receiver expects

// A byte stream whose every position is recognisable: byte i is a hash of i.
std::vector<uint8_t> Stream(std::size_t bytes, uint32_t seed = 0) {
    std::vector<uint8_t> out(bytes);
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>((i * 2654435761u + seed) >> 13);
    return out;
}

test::ComponentPtr Sender(uint16_t port) { return test::Running("UDPAudioOut", {{"PortNo", port}}); }

struct Pair {
    explicit Pair(uint16_t port) : in(test::Running("UDPAudioIn", {{"PortNo", port}})), out(Sender(port)) {
        CUDPAudioOut::ResetPacingClock();
    }
    void Send(const std::vector<uint8_t>& stream, std::size_t from, int32_t bytes) {
        ASSERT_EQ(out->PutData(stream.data() + from, bytes), bytes);
    }
    test::ComponentPtr in, out;
};

TEST(UdpAudio, SocketsPortsAndFailures) {
    test::VirtualPlatform platform;
    test::ComponentPtr in = test::Make("UDPAudioIn"), rival = test::Make("UDPAudioIn");
    uint8_t buffer[64];
    in->SetProperty("PortNo", 0x10000 + 5010, nullptr);  // the low 16 bits are the port
    ASSERT_EQ(in->Build(), kOk);
    const uint32_t before = platform.time.NowMs();
    EXPECT_EQ(in->GetData(buffer, 64), 0);  // no datagram within 100 ms
    EXPECT_EQ(platform.time.NowMs() - before, 100u);
    rival->SetProperty("PortNo", 5010, nullptr);
    EXPECT_EQ(rival->Build(), kErrInvalidArg);  // port in use
    EXPECT_EQ(static_cast<IAudioIOSplitSource*>(in.get())->GetDataSplit(buffer, buffer, 64), 64);
    EXPECT_EQ(in->Stop(), kOk);
    EXPECT_EQ(rival->Build(), kOk);  // the port is free again

    test::ComponentPtr out = test::Make("UDPAudioOut");
    EXPECT_EQ(test::Read(out.get(), "NotifySize"), kDatagram);  // reported only
    EXPECT_EQ(out->PutData(buffer, 64), -1);  // not built
    ASSERT_EQ(out->Build(), kOk);
    EXPECT_EQ(out->Build(), kErrState);
    EXPECT_EQ(static_cast<IAudioIOSplitSink*>(out.get())->PutDataSplit(buffer, buffer, 64), 64);
    EXPECT_EQ(out->PutData(nullptr, 0), 0);  // nothing to send needs no buffer

    platform.network.FailOpen(true);
    test::ComponentPtr broken = test::Make("UDPAudioOut");
    EXPECT_EQ(broken->Build(), kOk);             // not reported here...
    EXPECT_EQ(broken->PutData(buffer, 64), -1);  // ...but by every send
    uint32_t total = 1;
    broken->GetProperty("TotalOut", 0, &total);
    EXPECT_EQ(total, 0u);
}

TEST(UdpAudio, SendersShareOneFortyMillisecondGrid) {
    test::VirtualPlatform platform;
    platform.time.Advance(1000);
    Pair pair(5012);
    test::ComponentPtr second = Sender(5012);
    const std::vector<uint8_t> stream = Stream(kDatagram);

    const uint32_t start = platform.time.NowMs();
    for (int i = 0; i < 10; ++i) pair.Send(stream, 0, kDatagram);
    EXPECT_EQ(platform.time.NowMs() - start, 360u);

    // Two senders alternating still get one slot per datagram between them.
    const uint32_t alternateStart = platform.time.NowMs();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(second->PutData(stream.data(), kDatagram), kDatagram);
        ASSERT_EQ(pair.out->PutData(stream.data(), kDatagram), kDatagram);
    }
    EXPECT_EQ(platform.time.NowMs() - alternateStart, 10u * 40);

    // A sender that fell behind sends back to back until it is on the grid again.
    platform.time.SleepMs(200);
    const uint32_t lateStart = platform.time.NowMs();
    for (int i = 0; i < 5; ++i) pair.Send(stream, 0, kDatagram);
    EXPECT_EQ(platform.time.NowMs() - lateStart, 0u);
    pair.Send(stream, 0, kDatagram);
    EXPECT_GT(platform.time.NowMs() - lateStart, 0u);
}

TEST(UdpAudio, ConcurrentSendersNeverClaimTheSameSlot) {
    test::VirtualPlatform platform;
    Pair pair(5014);
    constexpr int kThreads = 4, kEach = 25;
    std::vector<test::ComponentPtr> senders;
    for (int t = 0; t < kThreads; ++t) senders.push_back(Sender(5014));
    const std::vector<uint8_t> datagram = Stream(kDatagram);
    const uint32_t start = platform.time.NowMs();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) senders[t]->PutData(datagram.data(), kDatagram);
        });
    }
    for (auto& thread : threads) thread.join();
    // Each slot needs the clock at or past it, and each datagram takes a fresh slot: the last
    // of 100 cannot leave before 99 periods have passed.  (Auto-advancing time may run faster
    // with several sleepers, never slower.)
    EXPECT_GE(platform.time.NowMs() - start, 99u * 40);
    std::vector<uint8_t> got(kDatagram);
    int received = 0;
    while (pair.in->GetData(got.data(), kDatagram) == kDatagram) ++received;
    EXPECT_EQ(received, kThreads * kEach);
}

// Datagrams of any length (empty, short, whole, too long) among requests of any size, Build,
// Start and Stop, against the model the fuzz target keeps: the stream stays on its 2 560-byte
// grid, the rest of a datagram is carried, a time-out keeps what was gathered, an empty
// datagram gives -1, Stop and Start drop the carry, and "TotalIn" counts what was delivered.
TEST(UdpStream, EveryCorpusInputAgreesWithTheModel) {
    EXPECT_GT(test::ReplayCorpus("udp_receiver_fuzzer", UdpReceiverModelCheck), 100u);
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    return {bytes.begin() + long(from), bytes.begin() + long(from + count)};
}

// The voice command's link: its datagrams are whole ones with the frames in front; a stray
// empty datagram is counted and passed over, while a socket that keeps failing ends it.
TEST(UdpStream, VoiceLinkPassesOverAStrayEmptyDatagram) {
    test::VirtualPlatform platform;
    CUDPAudioOut::ResetPacingClock();
    cli::voice::UdpLink link;
    ASSERT_EQ(link.Open(5104), "");
    constexpr int32_t kFrameBytes = 80;  // a 32 000 bit/s coded frame
    std::vector<uint8_t> frames(6 * kFrameBytes);
    for (size_t i = 0; i < frames.size(); ++i) frames[i] = uint8_t(i * 7 + 3);
    auto stray = platform.network.OpenSocket();

    ASSERT_TRUE(link.Send(&frames[0], kFrameBytes));
    EXPECT_EQ(link.queuedFrames(), 1);
    ASSERT_TRUE(link.Send(&frames[kFrameBytes], kFrameBytes));
    EXPECT_EQ(link.queuedFrames(), 0);
    ASSERT_EQ(stray->SendToLoopback(5104, nullptr, 0), 0);
    for (int f = 2; f < 6; ++f) ASSERT_TRUE(link.Send(&frames[size_t(f) * kFrameBytes], kFrameBytes));

    std::vector<uint8_t> got(2 * kFrameBytes);
    for (int d = 0; d < 3; ++d) {
        ASSERT_EQ(link.Receive(got.data(), 2 * kFrameBytes), 2 * kFrameBytes) << "datagram " << d;
        EXPECT_EQ(got, Slice(frames, size_t(d) * 2 * kFrameBytes, 2 * kFrameBytes)) << "datagram " << d;
    }
    EXPECT_EQ(link.failedReceives(), 1u);
    EXPECT_EQ(link.Receive(got.data(), 2 * kFrameBytes), 0);  // nothing more: a time-out

    // Nothing but empty datagrams: the link gives up after a run of failures.
    for (int i = 0; i < cli::voice::UdpLink::kMaxFailedReceivesInARow; ++i) stray->SendToLoopback(5104, nullptr, 0);
    EXPECT_EQ(link.Receive(got.data(), 2 * kFrameBytes), -1);
    EXPECT_EQ(link.failedReceives(), 1u + cli::voice::UdpLink::kMaxFailedReceivesInARow);
}

// Real sockets on 127.0.0.1; virtual time only for the sender's pacing.
uint16_t FreeLoopbackPort() {
    auto network = platform::CreatePosixUdpNetwork();
    auto probe = network->OpenSocket();
    if (probe == nullptr || !probe->BindLoopback(0)) return 0;
    return probe->LocalPort();
}

TEST(UdpAudioLoopback, TwoProcesses) {
    const uint16_t port = FreeLoopbackPort();
    ASSERT_NE(port, 0);
    test::ComponentPtr receiver = test::Make("UDPAudioIn");
    receiver->SetProperty("PortNo", port, nullptr);
    ASSERT_EQ(receiver->Build(), kOk);
    receiver->Start();
    test::ComponentPtr rival = test::Make("UDPAudioIn");
    rival->SetProperty("PortNo", port, nullptr);
    EXPECT_EQ(rival->Build(), kErrInvalidArg);  // the port is in use
    // One second of audio: 25 datagrams sent back to back fit the receiving socket's buffer.
    const std::vector<uint8_t> stream = Stream(kDatagram * 25, 11);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The sender process: offline time, so its 40 ms pacing costs no wall time.
        ZelmarSetTimeMode(ZELMAR_TIME_VIRTUAL);
        CUDPAudioOut::ResetPacingClock();
        IAudioIO* sender = ZelmarCreateComponent("UDPAudioOut");
        sender->SetProperty("PortNo", port, nullptr);
        int failures = sender->Build() == kOk ? 0 : 1;
        for (int i = 0; i < 25; ++i) failures += sender->PutData(stream.data() + i * kDatagram, kDatagram) != kDatagram;
        ZelmarDisposeComponent(sender);
        _exit(failures == 0 ? 0 : 1);
    }
    std::vector<uint8_t> got(stream.size());
    std::size_t at = 0;
    for (int idle = 0; at < got.size() && idle < 30;) {
        const int32_t result = receiver->GetData(got.data() + at, 3200);
        ASSERT_GE(result, 0);
        if (result == 0) {  // nothing for 100 ms: the sender may not have started yet
            ++idle;
            continue;
        }
        at += 3200;
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(at, got.size());
    EXPECT_EQ(got, stream);
}

}  // namespace
}  // namespace zelmar
