// The network of `zelmar voice`: an in-process channel that delays each coded frame by a
// random jitter and drops a given share of them, or real UDP datagrams on 127.0.0.1
// (UDPAudioOut -> UDPAudioIn, two coded frames per 40 ms datagram).
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "cli.h"
#include "path_clock.h"
#include "voice.h"

namespace cli {
namespace voice {

// One coded frame on its way through the channel.
struct Packet {
    uint32_t sequence;
    int64_t arrivalUs;
    std::vector<uint8_t> payload;
};

// The in-process network: frames arrive after a random delay, some never; it shares the
// path clock's lock, so a waiting receiver sees a frame the moment it is due.
class Channel {
public:
    Channel(PathClock& clock, double jitterMs, double lossPercent, uint32_t seed)
        : clock_(clock), random_(seed), delayUs_(0.0, jitterMs * 1000.0), lost_(lossPercent / 100.0) {}

    void Send(uint32_t sequence, const uint8_t* frame, int32_t bytes);
    // No more frames will be sent.
    void Close();
    // Blocks until the earliest frame is due; false once the channel is closed and empty.
    bool Receive(Packet* packet);
    uint64_t sent() const { return sent_; }
    uint64_t dropped() const { return dropped_; }

private:
    std::deque<Packet>::iterator Earliest();

    PathClock& clock_;
    std::mt19937 random_;
    std::uniform_real_distribution<double> delayUs_;
    std::bernoulli_distribution lost_;
    std::deque<Packet> queue_;
    bool closed_ = false;
    int64_t lastArrivalUs_ = 0;
    uint64_t sent_ = 0;
    uint64_t dropped_ = 0;
};

// The UDP transport: the talker's frames go out kFramesPerDatagram to a datagram, which
// UDPAudioOut paces at one per 40 ms; UDPAudioIn receives them on the network thread.
// UDPAudioIn takes every datagram as kDatagramBytes, so each one is sent that long: the
// frames, then zeros.
class UdpLink {
public:
    static constexpr int32_t kDatagramBytes = 2560;
    // Failed receives in a row after which the socket counts as broken.
    static constexpr int kMaxFailedReceivesInARow = 50;

    // Binds the receiver to `port`, or with 0 to the first free port from 45000, and points
    // the sender at it.  Returns "" or what failed.
    std::string Open(int32_t port);
    int32_t port() const { return port_; }

    // Queues one frame and sends the datagram once it holds kFramesPerDatagram frames; false
    // when sending failed.
    bool Send(const uint8_t* frame, int32_t bytes);
    // Frames queued for a datagram not yet sent.
    int32_t queuedFrames() const { return queuedFrames_; }
    // Waits up to 100 ms for a datagram and copies its first `bytes` bytes (the frames) to
    // `buffer`: returns `bytes`, 0 when none came, -1 once kMaxFailedReceivesInARow receives
    // in a row have failed.  A single failure (a stray empty datagram makes one) is counted
    // and the wait goes on.
    int32_t Receive(uint8_t* buffer, int32_t bytes);
    uint64_t failedReceives() const { return failedReceives_; }

private:
    Component sender_, receiver_;
    int32_t port_ = 0;
    std::vector<uint8_t> datagram_;
    int32_t queuedFrames_ = 0;
    std::vector<uint8_t> received_ = std::vector<uint8_t>(kDatagramBytes);
    uint64_t failedReceives_ = 0;
};

}  // namespace voice
}  // namespace cli
