// Refusals in words: the sentence the command line shows for a result code a component gave
// while it was set up, naming the cause and the value ("AccelerateAudioFilter needs Speed of
// 100 % or more, not 50"), where the code alone would not say it.
#pragma once

#include <zelmar/zelmar.h>

#include <cstdint>
#include <map>
#include <string>

namespace cli {

struct Refusal {
    const std::string& component;
    const std::string& step;  // the property being set, or "Build" or "Start"
    const std::string& shown;  // the value being set, as it reads
    int32_t code;
    IAudioIO* io;  // the component, for questions about it
    const std::map<std::string, int32_t>& settings;  // integers set so far
};

// The sentence without the code, or "" when the code says all that is known.
std::string Explain(const Refusal& refusal);

// Whether a UDP port on 127.0.0.1 is taken by another socket.
bool UdpPortInUse(int32_t port);

}  // namespace cli
