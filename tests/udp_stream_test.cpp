// The UDP receiver's byte stream stays on its 2 560-byte datagram grid whatever arrives: short
// and empty datagrams, a Stop and a new Build; and the voice command's UDP link passes over a
// stray empty datagram instead of giving up.  All on the in-memory network and virtual time.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/Platform.h"
#include "streams/UDPAudioOut.h"
#include "support/TestPlatform.h"
#include "voice_network.h"

namespace zelmar {
namespace {

constexpr int32_t kDatagram = 2560;

// Datagram d is filled with bytes that name it and their place in it.
std::vector<uint8_t> Datagram(int d) {
    std::vector<uint8_t> bytes(kDatagram);
    for (int i = 0; i < kDatagram; ++i) bytes[size_t(i)] = uint8_t(d * 37 + i * 11 + (i >> 8));
    return bytes;
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

}  // namespace
}  // namespace zelmar
