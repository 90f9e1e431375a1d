// Feeds "UDPAudioIn" datagrams of any length and content over the in-memory loopback network,
// interleaved with GetData requests of any size and with Build, Start and Stop, and checks
// every answer against a small model of the receiver kept here:
//
//   - a datagram buffer of which the first 2 560 bytes receive each datagram; a shorter one
//     overwrites only its own length, and the request still takes 2 560 bytes from the buffer
//     (the tail is what it held before), so the stream keeps its datagram grid;
//   - the part of the last datagram a request did not take is carried to the front of the
//     buffer and delivered first next time (a request smaller than the carry takes only what
//     it asked for);
//   - no datagram within the wait: 0, and what the call had gathered is carried instead of
//     lost (as much as the buffer holds); an empty datagram: -1, likewise keeping it;
//   - Build refused while a socket is held (0x80000001) or when the port is taken or no
//     socket can be had (0x80000003); no socket (never built, stopped): -1; Start clears the
//     carry and "TotalIn", Stop the carry and the datagrams that were waiting.
//
// Every delivered byte, every return value and "TotalIn" after every call must match, and
// nothing past the requested length is written.  Waits run on a virtual clock that jumps
// ahead, so a time-out costs nothing.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include <zelmar/zelmar.h>

#include "platform/Platform.h"
#include "platform/Time.h"
#include "platform/UdpSocket.h"

#include "FuzzInput.h"

namespace {

using fuzz::Check, fuzz::kErrArg;

constexpr int32_t kDatagram = 2560;
constexpr int32_t kStore = 8192;
constexpr uint16_t kPort = 41000;
constexpr int32_t kMaxRequest = 4 * kDatagram + 700;
constexpr int32_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr int kMaxOperations = 96;


// What the receiver must do, written from its documented behaviour.
struct Model {
    bool bound = false;
    uint8_t store[kStore] = {};
    int32_t carry = 0;
    uint32_t totalIn = 0;
    std::deque<std::vector<uint8_t>> waiting;  // datagrams the bound socket holds

    // Puts the last `count` gathered bytes (those that fit) at the front of the buffer.
    void Keep(const std::vector<uint8_t>& gathered) {
        const size_t kept = gathered.size() < size_t{kStore} ? gathered.size() : size_t{kStore};
        if (kept > 0) std::memcpy(store, gathered.data() + gathered.size() - kept, kept);
        carry = static_cast<int32_t>(kept);
    }

    // The answer to GetData(buffer, bytes) with a buffer given, and the bytes it delivers.
    int32_t Get(int32_t bytes, std::vector<uint8_t>& out) {
        out.clear();
        if (!bound) return -1;
        if (bytes == 0) return 0;
        const int32_t first = carry < bytes ? carry : bytes;
        out.insert(out.end(), store, store + first);
        std::memmove(store, store + first, static_cast<size_t>(carry - first));
        carry -= first;
        while (static_cast<int32_t>(out.size()) < bytes) {
            if (waiting.empty()) {
                Keep(out);
                return 0;
            }
            std::vector<uint8_t> datagram = std::move(waiting.front());
            waiting.pop_front();
            if (datagram.empty()) {
                Keep(out);
                return -1;
            }
            if (datagram.size() > size_t{kDatagram}) datagram.resize(kDatagram);
            std::memcpy(store, datagram.data(), datagram.size());
            const int32_t wanted = bytes - static_cast<int32_t>(out.size());
            const int32_t taken = wanted < kDatagram ? wanted : kDatagram;
            out.insert(out.end(), store, store + taken);
            carry = kDatagram - taken;
            std::memmove(store, store + taken, static_cast<size_t>(carry));
        }
        totalIn += static_cast<uint32_t>(bytes);
        return bytes;
    }
};

// The in-memory network on a virtual clock, made afresh for every input.
struct Platform {
    Platform() : time(/*autoAdvance=*/true), network(time), scope(Services(time, network)) {}
    static zelmar::platform::Services Services(zelmar::platform::ITimeService& time, zelmar::platform::IUdpNetwork& network) {
        zelmar::platform::Services services{};
        services.time = &time, services.network = &network;
        return services;
    }
    zelmar::platform::VirtualTimeService time;
    zelmar::platform::VirtualUdpNetwork network;
    zelmar::platform::ScopedPlatform scope;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    Platform platform;
    auto sender = platform.network.OpenSocket();
    Check(sender != nullptr);

    IAudioIO* receiver = ZelmarCreateComponent("UDPAudioIn");
    Check(receiver != nullptr);
    Check(receiver->SetProperty("PortNo", kPort, nullptr) == 0);
    Model model;
    uint32_t stamp = 1;  // every datagram byte differs from its neighbours
    std::vector<uint8_t> buffer(kMaxRequest + kGuard), expected;

    for (int op = 0; op < kMaxOperations && !in.Done(); ++op) {
        const uint8_t kind = in.Byte();
        switch (kind % 8) {
            case 0:
            case 1:
            case 2: {  // a datagram: mostly whole, sometimes short, empty or too long
                const uint16_t pick = in.Half();
                size_t length = kDatagram;
                switch (pick % 5) {
                    case 0: length = pick % (kDatagram + 1); break;
                    case 1: length = (pick >> 3) % 4; break;
                    case 2: length = kDatagram + (pick >> 3) % 600; break;
                    default: break;
                }
                std::vector<uint8_t> datagram(length);
                for (auto& b : datagram) b = static_cast<uint8_t>((stamp++ * 2654435761u) >> 24);
                Check(sender->SendToLoopback(kPort, datagram.data(), static_cast<int32_t>(length)) ==
                      static_cast<int32_t>(length));
                if (model.bound) model.waiting.push_back(std::move(datagram));
                break;
            }
            case 3:
            case 4: {  // a request: whole or partial datagrams, or any size
                const uint16_t pick = in.Half();
                int32_t bytes = 0;
                switch (pick % 4) {
                    case 0: bytes = (pick >> 2) % (kMaxRequest + 1); break;
                    case 1: bytes = 320 * ((pick >> 2) % 33); break;
                    case 2: bytes = kDatagram * ((pick >> 2) % 4 + 1); break;
                    default: bytes = (pick >> 2) % 8; break;
                }
                std::memset(buffer.data(), kGuardByte, buffer.size());
                const int32_t want = model.Get(bytes, expected);
                const int32_t got = receiver->GetData(buffer.data(), bytes);
                Check(got == want);
                if (got == bytes && bytes > 0) Check(std::memcmp(buffer.data(), expected.data(), expected.size()) == 0);
                for (size_t i = static_cast<size_t>(bytes); i < buffer.size(); ++i) Check(buffer[i] == kGuardByte);
                break;
            }
            case 5: {  // lifecycle
                const uint8_t which = in.Byte() % 4;
                if (which == 0) {
                    const bool failOpen = in.Byte() % 4 == 0;
                    platform.network.FailOpen(failOpen);
                    const int32_t result = receiver->Build();
                    platform.network.FailOpen(false);
                    Check(result == (model.bound ? fuzz::kErrState : failOpen ? kErrArg : 0));
                    model.bound = model.bound || !failOpen;
                } else if (which == 1) {
                    Check(receiver->Start() == 0);
                    model.carry = 0;
                    model.totalIn = 0;
                } else if (which == 2) {  // another socket holds the port: Build cannot bind
                    auto holder = platform.network.OpenSocket();
                    const bool held = holder->BindLoopback(kPort);
                    Check(held != model.bound);
                    Check(receiver->Build() == static_cast<int32_t>(model.bound ? 0x80000001 : 0x80000003));
                } else {
                    Check(receiver->Stop() == 0);
                    model.bound = false;
                    model.carry = 0;
                    model.waiting.clear();
                }
                break;
            }
            case 6: {  // arguments a host gets wrong
                const uint8_t which = in.Byte() % 3;
                if (which == 0) Check(receiver->GetData(nullptr, 1 + in.Byte()) == kErrArg);
                if (which == 1) Check(receiver->GetData(buffer.data(), -1 - in.Byte()) == kErrArg);
                if (which == 2) {  // nothing asked: nothing taken, whatever the buffer
                    Check(receiver->GetData(nullptr, 0) == (model.bound ? 0 : -1));
                }
                break;
            }
            default:
                break;
        }
        Check(fuzz::Read(receiver, "totalin") == model.totalIn);  // names match in any letter case
    }
    ZelmarDisposeComponent(receiver);
    return 0;
}
