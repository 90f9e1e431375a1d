// "UDPAudioIn" and "UDPAudioOut" on the in-memory network and virtual time: the receiver's byte
// stream stays on its 2 560-byte datagram grid whatever arrives (short and empty datagrams, a
// Stop and a new Build), senders share one 40 ms grid, and the voice command's UDP link passes
// over a stray empty datagram; then two processes on real loopback sockets.
#include <gtest/gtest.h>

#include <zelmar/zelmar_split.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "streams/UDPAudioOut.h"
#include "support/TestPlatform.h"
#include "voice_network.h"

namespace zelmar {
namespace {

constexpr int32_t kDatagram = 2560;  // 40 ms at 32 kHz, the only size the receiver expects

// A byte stream whose every position is recognisable: byte i is a hash of i.
std::vector<uint8_t> Stream(std::size_t bytes, uint32_t seed = 0) {
    std::vector<uint8_t> out(bytes);
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>((i * 2654435761u + seed) >> 13);
    return out;
}

// Datagram d is filled with bytes that name it and their place in it.
std::vector<uint8_t> Datagram(int d) { return Stream(kDatagram, uint32_t(d) << 20); }

test::ComponentPtr Sender(uint16_t port) { return test::Running("UDPAudioOut", {{"PortNo", port}}); }

struct Pair {
    explicit Pair(uint16_t port) : in(test::Running("UDPAudioIn", {{"PortNo", port}})), out(Sender(port)) {
        CUDPAudioOut::ResetPacingClock();
    }
    void Send(const std::vector<uint8_t>& stream, std::size_t from, int32_t bytes) {
        ASSERT_EQ(out->PutData(stream.data() + from, bytes), bytes);
    }
    uint32_t TotalIn() { return uint32_t(test::Read(in.get(), "TotalIn")); }
    test::ComponentPtr in, out;
};

// The rest of each datagram is carried into the next request; a wait for a datagram gives up
// after 100 ms with 0 and keeps what the call had gathered.
TEST(UdpAudio, ReceiverCarriesTheRestOfEachDatagramAndATimeOutLosesNothing) {
    test::VirtualPlatform platform;
    Pair pair(5004);
    const std::vector<uint8_t> stream = Stream(kDatagram * 12);
    std::vector<uint8_t> got(stream.size() + 16, 0xEE);
    const uint32_t before = platform.time.NowMs();
    EXPECT_EQ(pair.in->GetData(got.data(), 1920), 0);
    EXPECT_EQ(platform.time.NowMs() - before, 100u);
    pair.Send(stream, 0, kDatagram);
    // 5 120 bytes asked, one datagram there: 0 after 100 ms, the 2 560 bytes kept.
    EXPECT_EQ(pair.in->GetData(got.data(), 5120), 0);
    EXPECT_EQ(pair.TotalIn(), 0u);
    for (int i = 1; i < 12; ++i) pair.Send(stream, i * kDatagram, kDatagram);

    std::size_t at = 0;
    // Whole datagrams: nothing carried.
    for (int i = 0; i < 2; ++i, at += kDatagram) ASSERT_EQ(pair.in->GetData(got.data() + at, kDatagram), kDatagram);
    // 30 ms requests: 640, 1280, 1920 bytes carried, then the carry alone serves a request.
    for (int i = 0; i < 4; ++i, at += 1920) ASSERT_EQ(pair.in->GetData(got.data() + at, 1920), 1920);
    // Requests smaller than the carry take only what they ask for.
    for (int i = 0; i < 30; ++i, at += 100) ASSERT_EQ(pair.in->GetData(got.data() + at, 100), 100);
    // A request of two datagrams' worth, then everything else in odd sizes.
    ASSERT_EQ(pair.in->GetData(got.data() + at, 5120), 5120);
    at += 5120;
    while (at + 777 <= stream.size()) {
        ASSERT_EQ(pair.in->GetData(got.data() + at, 777), 777);
        at += 777;
    }
    got.resize(at);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), stream.begin())) << "the byte stream has a gap or a repeat";
    EXPECT_EQ(pair.TotalIn(), at);
}

TEST(UdpAudio, SocketsPortsAndFailures) {
    test::VirtualPlatform platform;
    test::ComponentPtr in = test::Make("UDPAudioIn"), rival = test::Make("UDPAudioIn");
    uint8_t buffer[64];
    EXPECT_EQ(in->GetData(buffer, 64), -1);  // no socket yet
    in->SetProperty("PortNo", 0x10000 + 5010, nullptr);  // the low 16 bits are the port
    ASSERT_EQ(in->Build(), kOk);
    EXPECT_EQ(in->Build(), kErrState);
    rival->SetProperty("PortNo", 5010, nullptr);
    EXPECT_EQ(rival->Build(), kErrInvalidArg);  // port in use
    EXPECT_EQ(static_cast<IAudioIOSplitSource*>(in.get())->GetDataSplit(buffer, buffer, 64), 64);
    EXPECT_EQ(in->Stop(), kOk);
    EXPECT_EQ(in->GetData(buffer, 64), -1);
    EXPECT_EQ(rival->Build(), kOk);  // the port is free again

    test::ComponentPtr out = test::Make("UDPAudioOut");
    EXPECT_EQ(test::Read(out.get(), "NotifySize"), kDatagram);  // reported only
    EXPECT_EQ(out->PutData(buffer, 64), -1);  // not built
    ASSERT_EQ(out->Build(), kOk);
    EXPECT_EQ(out->Build(), kErrState);
    EXPECT_EQ(static_cast<IAudioIOSplitSink*>(out.get())->PutDataSplit(buffer, buffer, 64), 64);
    EXPECT_EQ(out->PutData(nullptr, 0), 0);  // nothing to send needs no buffer

    platform.network.FailOpen(true);
    test::ComponentPtr broken = test::Make("UDPAudioOut"), deaf = test::Make("UDPAudioIn");
    EXPECT_EQ(broken->Build(), kOk);             // not reported here...
    EXPECT_EQ(broken->PutData(buffer, 64), -1);  // ...but by every send
    uint32_t total = 1;
    broken->GetProperty("TotalOut", 0, &total);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(deaf->Build(), kErrInvalidArg);
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

struct Receiver {
    explicit Receiver(uint16_t port)
        : port(port), io(test::Running("UDPAudioIn", {{"PortNo", port}})), sender(platform::Current().network->OpenSocket()) {}
    // Straight onto the network: any length, empty ones too, no pacing.
    void Send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(sender->SendToLoopback(port, bytes.data(), int32_t(bytes.size())), int32_t(bytes.size()));
    }
    std::vector<uint8_t> Get(int32_t bytes, int32_t expected) {
        std::vector<uint8_t> out(size_t(bytes), 0xEE);
        EXPECT_EQ(io->GetData(out.data(), bytes), expected);
        return out;
    }
    uint16_t port;
    test::ComponentPtr io;
    std::unique_ptr<platform::IUdpSocket> sender;
};

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    return {bytes.begin() + long(from), bytes.begin() + long(from + count)};
}

// Expected streams are built from the datagrams by hand: a whole datagram is its 2 560 bytes;
// a short one is its own bytes followed by what the receiver's store held at those places
// (below, the previous datagram's, which was taken whole).
TEST(UdpStream, EveryDatagramCountsAsAWholeOneSoTheStreamNeverSlips) {
    test::VirtualPlatform platform;
    Receiver rx(5100);
    const auto d0 = Datagram(0), d1 = Datagram(1), d2 = Datagram(2), d3 = Datagram(3);

    // A stray one-byte datagram between whole ones.
    rx.Send(d0);
    rx.Send({0x5A});
    rx.Send(d1);
    rx.Send(d2);
    auto stray = d0;
    stray[0] = 0x5A;
    EXPECT_EQ(rx.Get(kDatagram, kDatagram), d0);
    EXPECT_EQ(rx.Get(kDatagram, kDatagram), stray);
    // The following ones in requests across the datagrams' edges: still on the grid.
    std::vector<uint8_t> got;
    for (int i = 0; i < 4; ++i) {
        const auto block = rx.Get(1280, 1280);
        got.insert(got.end(), block.begin(), block.end());
    }
    auto expected = d1;
    expected.insert(expected.end(), d2.begin(), d2.end());
    EXPECT_EQ(got, expected);

    // An empty datagram fails the call that meets it, which keeps what it had gathered: the
    // next call goes on from there.
    rx.Send(d3);
    rx.Send({});
    rx.Send(d0);
    rx.Get(2 * kDatagram, -1);
    EXPECT_EQ(rx.Get(2 * kDatagram, 2 * kDatagram), [&] {
        auto both = d3;
        both.insert(both.end(), d0.begin(), d0.end());
        return both;
    }());

    // A longer one arrives cut to its first 2 560 bytes.
    auto longer = d1;
    longer.insert(longer.end(), d2.begin(), d2.begin() + 1440);
    rx.Send(longer);
    EXPECT_EQ(rx.Get(kDatagram, kDatagram), d1);
    EXPECT_EQ(test::Read(rx.io.get(), "TotalIn"), 7 * kDatagram);
}

TEST(UdpStream, StopDropsTheCarriedBytesOfTheStreamItEnds) {
    test::VirtualPlatform platform;
    Receiver rx(5102);
    const auto d0 = Datagram(0), d1 = Datagram(1);
    rx.Send(d0);
    EXPECT_EQ(rx.Get(1000, 1000), Slice(d0, 0, 1000));  // 1 560 bytes carried
    EXPECT_EQ(rx.io->GetData(nullptr, 0), 0);           // a request for nothing takes nothing
    EXPECT_EQ(rx.Get(0, 0), std::vector<uint8_t>{});
    EXPECT_EQ(rx.Get(560, 560), Slice(d0, 1000, 560));  // 1 000 carried
    ASSERT_EQ(rx.io->Stop(), kOk);
    ASSERT_EQ(rx.io->Build(), kOk);
    // Built again, not yet started: a new datagram is read from its start.
    rx.Send(d1);
    EXPECT_EQ(rx.Get(1000, 1000), Slice(d1, 0, 1000));
    EXPECT_EQ(rx.Get(kDatagram - 1000, kDatagram - 1000), Slice(d1, 1000, kDatagram - 1000));
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
