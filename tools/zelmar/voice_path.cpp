// The voice path of `zelmar voice`: setting it up and its three threads.
#include "voice_path.h"

#include "interrupt.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace cli {
namespace voice {

namespace {

std::string RecordPath(const std::string& output, const std::string& stage) {
    const auto slash = output.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : output.substr(0, slash + 1);
    return dir + "voice-" + stage + ".wav";
}

}  // namespace

std::string VoicePath::Prepare() {
    std::string error;
    if (settings_.aec && !(error = OpenPair()).empty()) return error;
    source_ = OpenSource(settings_, meter_, &sourceInfo_, &error, duplex_ ? Side(duplex_.get(), "AudioIn") : nullptr);
    if (!source_) return error;
    stages_.source.component = sourceInfo_.component;
    stages_.source.used = true;
    if (sourceInfo_.rate % 50 != 0) return "the source rate must be a multiple of 50 Hz (20 ms blocks)";
    if (!(error = PrepareFilters()).empty()) return error;

    stages_.network.used = true;
    if (settings_.udp) {
        stages_.network.component = "UDPAudioOut -> UDPAudioIn";
        udp_ = std::make_unique<UdpLink>();
        if (!(error = udp_->Open(static_cast<int32_t>(settings_.port))).empty()) return error;
    } else {
        stages_.network.component = "in-process channel";
    }
    if (!(error = PrepareSinks()).empty()) return error;

    clock_ = std::make_unique<PathClock>(settings_.realtime || settings_.udp || playback_ || sourceInfo_.device, kParticipants);
    if (!settings_.udp) {
        channel_ = std::make_unique<Channel>(*clock_, settings_.jitterMs, settings_.lossPercent,
                                             static_cast<uint32_t>(settings_.seed));
    }
    return "";
}

// Capture and playback as one full-duplex pair at the codec's rate, its echo canceller on;
// the pair's own Start leaves the two sides to the host, which starts them here.
std::string VoicePath::OpenPair() {
    std::string error;
    const int32_t blockSamples = kCodecRate * kFrameMs / 1000;
    duplex_ = ComponentSetup("DSoundAudioInOut")
                  .Set("UseDuplexBuffer", 1)
                  .Set("SamplesPerSec", kCodecRate)
                  .Set("BlockSamples", blockSamples)
                  .Set("InBufferTime", kCaptureBufferMs)
                  .Set("OutBufferTime", kPlaybackBufferMs)
                  .Set("InDeviceNo", settings_.captureDevice)
                  .Set("OutDeviceNo", settings_.playbackDevice)
                  .Build(&error);
    if (!duplex_) return "cannot open the echo-cancelling pair: " + error;
    for (const char* side : {"AudioIn", "AudioOut"}) {
        const int32_t code = Side(duplex_.get(), side)->Start();
        if (code != 0) return std::string("cannot start the pair's ") + (side[5] == 'I' ? "capture" : "playback") + ": " + ResultText(code);
    }
    // Echo cancellation on and noise suppression off (the pre-processor has its own): the
    // capture side brings both effects in line with their switches.
    const int32_t code = duplex_->SetProperty("EnableEffect", 0, nullptr);
    if (code != 0) return "the pair's echo canceller refused to switch on: " + ResultText(code);
    return "";
}

IAudioIO* VoicePath::Side(IAudioIO* pair, const char* side) {
    intptr_t address = 0;
    return pair->GetProperty(side, 0, &address) == 0 ? reinterpret_cast<IAudioIO*>(address) : nullptr;
}

// The pre-processor, the resampler and the codec.
std::string VoicePath::PrepareFilters() {
    const int32_t sourceRate = sourceInfo_.rate;
    std::string error;

    // High-pass and noise suppression (automatic gain on request); no silence gate, so every
    // block comes out as long as it went in.  A setting it refuses is noted, not fatal.
    ComponentSetup preprocess("PreProcessAudioFilter");
    preprocess.Try("SamplesPerSec", sourceRate).Try("HiPassCutOff", 100).Try("EnableNS", 1);
    if (settings_.agc) preprocess.Try("AutoGain", 1);
    preprocess_ = preprocess.Start(&error);
    if (!preprocess.exists()) {
        stages_.preprocess.skipped = "not in this library";
    } else if (!preprocess_) {
        stages_.preprocess.skipped = error;
    } else {
        stages_.preprocess.used = true;
        if (!preprocess.refusals().empty()) stages_.preprocess.notes = "refused " + preprocess.refusals();
        char problem[512];
        if (ZelmarCompanionStatus(problem, sizeof problem) != 0) companionProblem_ = problem;
    }

    // To the codec's rate.
    if (sourceRate != kCodecRate) {
        ComponentSetup resample("ResampleAudioFilter");
        resample_ = resample.Set("InSamplesPerSec", sourceRate).Set("OutSamplesPerSec", kCodecRate).Start(&error);
        if (!resample.exists()) {
            stages_.resample.skipped = "not in this library";
        } else if (!resample_) {
            stages_.resample.skipped = std::to_string(sourceRate) + " Hz is no whole fraction of 32000 Hz (" + error + ")";
        }
        stages_.resample.used = static_cast<bool>(resample_);
        if (!resample_) pathRate_ = sourceRate;
    } else {
        stages_.resample.skipped = "source is already at 32000 Hz";
    }
    if (pathRate_ != kCodecRate && pathRate_ != 16000) {
        return "without a resampler the path needs a 16000 or 32000 Hz source (this one is " +
               std::to_string(sourceRate) + " Hz)";
    }

    const int32_t bitrate = static_cast<int32_t>(settings_.bitrate);
    pcmFrameBytes_ = pathRate_ * kFrameMs / 1000 * 2;
    ComponentSetup encoder = Siren14Setup(pathRate_, bitrate, Coding::kEncode);
    ComponentSetup decoder = Siren14Setup(pathRate_, bitrate, Coding::kDecode);
    if (!encoder.exists() || !decoder.exists()) {
        stages_.encode.skipped = stages_.decode.skipped = "not in this library: raw PCM crosses the network";
        codedFrameBytes_ = pcmFrameBytes_;
        return "";
    }
    encoder_ = encoder.Start(&error);
    if (encoder_) decoder_ = decoder.Start(&error);
    if (!decoder_) {
        return "Siren14 cannot code " + std::to_string(bitrate) + " bit/s at " + std::to_string(pathRate_) + " Hz: " + error;
    }
    codedFrameBytes_ = bitrate * kFrameMs / 1000 / 8;
    stages_.encode.used = stages_.decode.used = true;
    return "";
}

// The ring buffer, the file, the playback device and the recordings of inner stages.
std::string VoicePath::PrepareSinks() {
    std::string error;
    ComponentSetup ring("RingBufferAudioInOut");
    if (!ring.exists()) {
        stages_.ring.skipped = "not in this library: decoded audio goes straight to the sink";
    } else {
        ring_ = ring.Set("AvgBytesPerSec", pathRate_ * 2).Set("BufferTime", static_cast<int32_t>(settings_.bufferMs)).Start(&error);
        if (!ring_) return error;
        stages_.ring.used = true;
    }

    if (settings_.writeFile) {
        if (!(error = target_.Open(settings_.output)).empty() ||
            !(error = writer_.Open(target_.path(), Mono16Format(pathRate_))).empty()) {
            return error;
        }
        stages_.sink.used = true;
    } else {
        stages_.sink.skipped = "no -o given with --playback";
    }

    const int32_t device = settings_.playbackDevice;
    if (device != Settings::kNoDevice) {
        if (!duplex_) {
            const int32_t blockSamples = pathRate_ * kFrameMs / 1000;
            player_ = PlaybackSetup({pathRate_, 1, 16, blockSamples, kPlaybackBufferMs, device}, settings_.generation)
                          .Start(&error);
            if (!player_) return "cannot open playback device " + std::to_string(device) + ": " + error;
            if (settings_.generation == 2) {
                // The second generation mutes the first blocks after Start: silence goes there,
                // before the path's clock starts, so none of the listener's audio is lost.
                stages_.playback.component = "DSoundAudioOut2";
                const std::vector<int16_t> silence(static_cast<std::size_t>(blockSamples), 0);
                for (int32_t b = 0; b < kSecondGenerationMutedBlocks; ++b) {
                    const int32_t code = PutDeviceBlock(player_.get(), silence.data(), blockSamples * 2);
                    if (code != blockSamples * 2) return "playback device " + std::to_string(device) + " failed: " + ResultText(code);
                }
            }
        }
        playback_ = duplex_ ? Side(duplex_.get(), "AudioOut") : player_.get();
        if (duplex_) stages_.playback.component = "DSoundAudioInOut";
        std::fprintf(stderr, "%s\n", DeviceLine(playback_, false, device).c_str());
        std::string name;
        stages_.playback.notes = "device " + std::to_string(device);
        if (device >= 0 && TextProperty(playback_, "OutDeviceName", device, &name)) {
            stages_.playback.notes += " (" + name + ")";
        }
        stages_.playback.used = true;
    }

    const struct {
        const char* stage;
        Recorder* recorder;
        int32_t rate;
    } points[] = {{"source", &recSource_, sourceInfo_.rate}, {"preprocess", &recPreprocess_, sourceInfo_.rate},
                  {"resample", &recResample_, pathRate_}, {"decode", &recDecode_, pathRate_}};
    for (const std::string& stage : settings_.recordAt) {
        const auto point = std::find_if(std::begin(points), std::end(points), [&](const auto& p) { return stage == p.stage; });
        if (point == std::end(points)) return "--record-at knows source, preprocess, resample and decode, not '" + stage + "'";
        if (!(error = point->recorder->Open(RecordPath(settings_.output, stage), point->rate)).empty()) return error;
    }
    return "";
}

void VoicePath::ThreadFailed(const std::string& message) {
    std::lock_guard<std::mutex> hold(failureLock_);
    if (threadFailure_.empty()) threadFailure_ = message;
    failed_ = true;
}

// The talker: one 20 ms block of the source per 20 ms of its clock, through the capture-side
// filters and the encoder onto the network.
void VoicePath::Talker() {
    const int32_t sourceRate = sourceInfo_.rate;
    const int32_t blockSamples = sourceRate * kFrameMs / 1000;
    const std::size_t frameSamples = static_cast<std::size_t>(pcmFrameBytes_ / 2);
    std::vector<int16_t> block(blockSamples), cleaned(blockSamples), resampled(frameSamples + blockSamples * 8);
    std::vector<int16_t> pending;  // PCM at the path rate waiting for a whole codec frame
    pending.reserve(resampled.size() * 2);
    std::vector<uint8_t> frame(static_cast<std::size_t>(std::max(codedFrameBytes_, pcmFrameBytes_)));
    uint32_t sequence = 0;
    int64_t blockIndex = 0;

    for (;;) {
        {   // a capture device delivers a block once it has been spoken
            std::unique_lock<std::mutex> lock(clock_->mutex());
            const int64_t due = (blockIndex + 1) * kFrameUs;
            // UDP sends and a capture device pace themselves.
            if (!settings_.udp && !sourceInfo_.device) clock_->WaitUntil(kTalker, lock, [due] { return due; });
        }
        // Ctrl-C ends the source: what is on its way still reaches the file.
        int32_t count = 0;
        if (!StopRequested()) {
            CpuSpan span(stages_.source);
            count = source_->Read(block.data(), blockSamples);
        }
        const bool ending = count <= 0;
        if (ending && !source_->failure().empty()) {
            ThreadFailed(source_->failure());
            break;
        }
        if (ending) {
            // The last partial codec frame goes out padded with silence.
            if (pending.empty()) break;
            pending.resize(frameSamples, 0);
        } else {
            ++blockIndex;
            stages_.source.Count(0, static_cast<uint64_t>(count) * 2, static_cast<double>(count) / sourceRate);
            recSource_.Write(block.data(), count);

            const int16_t* current = block.data();
            if (preprocess_) {
                CpuSpan span(stages_.preprocess);
                int32_t inBytes = count * 2, outBytes = count * 2;
                const int32_t level = preprocess_->Process(block.data(), &inBytes, cleaned.data(), &outBytes);
                if (level < 0) {
                    ThreadFailed("PreProcessAudioFilter: " + ResultText(level));
                    break;
                }
                stages_.preprocess.Count(static_cast<uint64_t>(count) * 2, static_cast<uint64_t>(count) * 2,
                                         static_cast<double>(count) / sourceRate);
                current = cleaned.data();
            }
            recPreprocess_.Write(current, count);

            int32_t produced = count;
            if (resample_) {
                CpuSpan span(stages_.resample);
                int32_t inBytes = count * 2, outBytes = static_cast<int32_t>(resampled.size() * 2);
                const int32_t code = resample_->Process(current, &inBytes, resampled.data(), &outBytes);
                if (code != 0) {
                    ThreadFailed("ResampleAudioFilter: " + ResultText(code));
                    break;
                }
                produced = outBytes / 2;
                stages_.resample.Count(static_cast<uint64_t>(count) * 2, static_cast<uint64_t>(outBytes),
                                       static_cast<double>(count) / sourceRate);
                current = resampled.data();
                recResample_.Write(current, produced);
            }
            pending.insert(pending.end(), current, current + produced);
        }

        // Whole codec frames go out; a partial one waits for the next block.
        std::size_t taken = 0;
        while (pending.size() - taken >= frameSamples) {
            const int16_t* pcm = pending.data() + taken;
            taken += frameSamples;
            if (!SendFrame(pcm, frame, sequence)) break;
            ++sequence;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(taken));
        if (ending || failed_) break;
    }
    // A last datagram short of frames is made whole with frames of silence (at most 20 ms
    // more for the listener): UDPAudioIn takes every datagram as a whole one.
    const std::vector<int16_t> silence(frameSamples, 0);
    while (udp_ && udp_->queuedFrames() != 0 && !failed_ && SendFrame(silence.data(), frame, sequence)) ++sequence;
    if (channel_) channel_->Close();
    talkerDone_ = true;
    clock_->Leave(kTalker);
}

bool VoicePath::SendFrame(const int16_t* pcm, std::vector<uint8_t>& frame, uint32_t sequence) {
    int32_t frameBytes = pcmFrameBytes_;
    if (encoder_) {
        CpuSpan span(stages_.encode);
        int32_t inBytes = pcmFrameBytes_, outBytes = codedFrameBytes_;
        const int32_t code = encoder_->Process(pcm, &inBytes, frame.data(), &outBytes);
        if (code != 0 || outBytes != codedFrameBytes_) {
            ThreadFailed("Siren14AudioFilter encode: " + ResultText(code));
            return false;
        }
        stages_.encode.Count(static_cast<uint64_t>(inBytes), static_cast<uint64_t>(outBytes), kFrameMs / 1000.0);
        frameBytes = outBytes;
    } else {
        std::memcpy(frame.data(), pcm, static_cast<std::size_t>(pcmFrameBytes_));
    }
    ++frames_.sent;
    stages_.network.bytesIn += static_cast<uint64_t>(frameBytes);
    if (channel_) {
        channel_->Send(sequence, frame.data(), frameBytes);
        return true;
    }
    CpuSpan span(stages_.network);
    // UDPAudioOut paces the datagrams: one per 40 ms, two frames each.
    if (!udp_->Send(frame.data(), frameBytes)) ThreadFailed("UDPAudioOut: send failed");
    return true;
}

void VoicePath::PutIntoRing(const int16_t* samples, int32_t count) {
    recDecode_.Write(samples, count);
    if (!ring_) {
        if (writer_.is_open()) {
            CpuSpan span(stages_.sink);
            const std::string failure = writer_.Write(samples, count * 2);
            if (!failure.empty()) ThreadFailed("writing " + settings_.output + " failed: " + failure);
            stages_.sink.bytesIn += static_cast<uint64_t>(count) * 2;
        }
        if (playback_ && !PlayBlock(samples, count)) ThreadFailed("playback failed");
        return;
    }
    std::lock_guard<std::mutex> hold(ringLock_);
    CpuSpan span(stages_.ring);
    ring_->PutData(samples, count * 2);
    stages_.ring.bytesIn += static_cast<uint64_t>(count) * 2;
}

void VoicePath::DecodeInto(const uint8_t* frame, int32_t frames) {
    std::vector<int16_t> pcm(static_cast<std::size_t>(pcmFrameBytes_ / 2) * static_cast<std::size_t>(frames));
    if (!decoder_) {
        if (frame != nullptr) std::memcpy(pcm.data(), frame, pcm.size() * 2);  // raw PCM frames; lost ones are silence
        frames_.concealed += frame == nullptr ? static_cast<uint64_t>(frames) : 0;
        PutIntoRing(pcm.data(), static_cast<int32_t>(pcm.size()));
        return;
    }
    int32_t inBytes = codedFrameBytes_ * frames, outBytes = static_cast<int32_t>(pcm.size() * 2);
    {
        CpuSpan span(stages_.decode);
        const int32_t code = decoder_->Process(frame, &inBytes, pcm.data(), &outBytes);
        if (code != 0) {
            ThreadFailed("Siren14AudioFilter decode: " + ResultText(code));
            return;
        }
    }
    stages_.decode.Count(static_cast<uint64_t>(inBytes), static_cast<uint64_t>(outBytes),
                         static_cast<double>(outBytes / 2) / pathRate_);
    if (frame == nullptr) frames_.concealed += static_cast<uint64_t>(outBytes / pcmFrameBytes_);
    else frames_.decoded += static_cast<uint64_t>(outBytes / pcmFrameBytes_);
    PutIntoRing(pcm.data(), outBytes / 2);
}

// The network side: frames in order of arrival; a gap in the sequence is concealed, a frame
// that comes after its successors is too late to play.
void VoicePath::NetworkReceiver() {
    uint32_t expected = 0;
    if (channel_) {
        Packet packet;
        while (channel_->Receive(&packet)) {
            stages_.network.bytesOut += packet.payload.size();
            if (packet.sequence < expected) {
                ++frames_.late;
                continue;
            }
            if (packet.sequence > expected) DecodeInto(nullptr, static_cast<int32_t>(packet.sequence - expected));
            DecodeInto(packet.payload.data(), 1);
            expected = packet.sequence + 1;
        }
        // Frames lost at the very end are concealed too: the listener hears their duration.
        const uint64_t sent = channel_->sent();
        if (sent > expected) DecodeInto(nullptr, static_cast<int32_t>(sent - expected));
    } else {
        std::vector<uint8_t> datagram(static_cast<std::size_t>(codedFrameBytes_) * kFramesPerDatagram);
        for (;;) {
            int32_t got;
            {
                CpuSpan span(stages_.network);
                got = udp_->Receive(datagram.data(), static_cast<int32_t>(datagram.size()));
            }
            if (got < 0) {  // a single failure is counted and passed over; this is a run of them
                ThreadFailed("UDPAudioIn: socket error");
                break;
            }
            if (got == 0) {  // nothing for 100 ms
                if (talkerDone_) break;
                ++frames_.udpTimeouts;
                continue;
            }
            stages_.network.bytesOut += static_cast<uint64_t>(got);
            DecodeInto(datagram.data(), got / codedFrameBytes_);
        }
    }
    networkDone_ = true;
    clock_->Leave(kNetwork);
}

// The listener: one 20 ms block per 20 ms of its own clock, which runs `driftPpm` off the
// talker's, until the network has finished and the ring is empty.
void VoicePath::Listener() {
    const int32_t blockSamples = pathRate_ * kFrameMs / 1000;
    std::vector<int16_t> block(blockSamples);
    const double periodUs = static_cast<double>(kFrameUs) / (1.0 + settings_.driftPpm / 1e6);
    const double sourceSeconds = static_cast<double>(sourceInfo_.samples) / sourceInfo_.rate;
    const int64_t giveUpUs = static_cast<int64_t>((sourceSeconds * 2.0 + 10.0) * 1e6);
    for (int64_t index = 0;; ++index) {
        const int64_t due = static_cast<int64_t>(static_cast<double>(index) * periodUs);
        if (playback_) {
            // The playback device takes a block when it has room: its clock is the listener's.
            if (clock_->NowUs() > giveUpUs) break;
        } else {
            std::unique_lock<std::mutex> lock(clock_->mutex());
            clock_->WaitUntil(kListener, lock, [due] { return due; });
            if (clock_->stalled() || due > giveUpUs) break;
        }
        if (!ring_) {
            if (networkDone_) break;
            continue;
        }
        uint32_t fillBytes;
        {
            std::lock_guard<std::mutex> hold(ringLock_);
            fillBytes = static_cast<uint32_t>(IntProperty(ring_.get(), "FillBytes"));
            if (networkDone_ && fillBytes == 0) break;
            CpuSpan span(stages_.ring);
            ring_->GetData(block.data(), blockSamples * 2);
        }
        stages_.ring.Count(0, static_cast<uint64_t>(blockSamples) * 2, static_cast<double>(blockSamples) / pathRate_);
        if (writer_.is_open()) {
            CpuSpan span(stages_.sink);
            const std::string failure = writer_.Write(block.data(), blockSamples * 2);
            if (!failure.empty()) {
                ThreadFailed("writing " + settings_.output + " failed: " + failure);
                break;
            }
            stages_.sink.bytesIn += static_cast<uint64_t>(blockSamples) * 2;
        }
        if (playback_ && !PlayBlock(block.data(), blockSamples)) {
            ThreadFailed("playback failed");
            break;
        }
        if (networkDone_ && fillBytes <= static_cast<uint32_t>(blockSamples) * 2) break;
    }
    if (playback_) {
        // A ring of silence after the end, so the looping device buffer does not replay it.
        std::fill(block.begin(), block.end(), 0);
        for (int32_t b = 0; b <= kPlaybackBufferMs / kFrameMs && PlayBlock(block.data(), blockSamples, false); ++b) {
        }
    }
    clock_->Leave(kListener);
}

// One block to the playback device.
bool VoicePath::PlayBlock(const int16_t* samples, int32_t count, bool counted) {
    LevelMeter::Note(meter_.outputPeak, samples, count);
    int32_t code;
    {
        CpuSpan span(stages_.playback);
        code = PutDeviceBlock(playback_, samples, count * 2);
    }
    if (code != count * 2) return false;
    if (!counted) return true;
    stages_.playback.Count(static_cast<uint64_t>(count) * 2, 0, static_cast<double>(count) / pathRate_);
    return true;
}

int VoicePath::Run() {
    const std::string problem = Prepare();
    if (!problem.empty()) return Fail(problem);

    const auto began = std::chrono::steady_clock::now();
    std::atomic<bool> finished{false};
    std::thread meter(ShowMeter, std::ref(meter_), sourceInfo_.device, playback_ != nullptr, std::cref(finished));
    std::thread listener(&VoicePath::Listener, this);
    std::thread network(&VoicePath::NetworkReceiver, this);
    std::thread talker(&VoicePath::Talker, this);
    talker.join();
    network.join();
    listener.join();
    finished = true;
    meter.join();
    const double wall = SecondsSince(began);

    std::string finishing = writer_.Finish();
    if (finishing.empty()) finishing = target_.Finish();
    if (playback_) playback_->Stop();
    source_->Stop();
    for (Recorder* recorder : {&recSource_, &recPreprocess_, &recResample_, &recDecode_}) recorder->Close();
    if (!threadFailure_.empty()) {
        if (!stages_.sink.used) return Fail(threadFailure_);
        char kept[64];
        std::snprintf(kept, sizeof kept, "%.2f s", writer_.seconds());
        return Fail(threadFailure_ + "; " + settings_.output + " keeps the " + kept + " written" +
                    (finishing.empty() ? "" : ", but " + finishing));
    }
    if (!finishing.empty()) return Fail(finishing);
    if (clock_->stalled()) return Fail("the path stalled: no thread could make progress");

    PathSummary summary;
    summary.sourceName = sourceInfo_.name;
    summary.sourceRate = sourceInfo_.rate;
    summary.pathRate = pathRate_;
    summary.codedFrameBytes = codedFrameBytes_;
    summary.frames = frames_;
    summary.channel = channel_ != nullptr;
    if (channel_) {
        summary.channelSent = channel_->sent();
        summary.channelDropped = channel_->dropped();
    }
    if (udp_) {
        summary.udpPort = udp_->port();
        summary.udpFailedReceives = udp_->failedReceives();
    }
    if (ring_) {
        summary.underflows = static_cast<uint32_t>(IntProperty(ring_.get(), "UnderFlow"));
        summary.compressions = static_cast<uint32_t>(IntProperty(ring_.get(), "OverFlow"));
    }
    summary.playing = playback_ != nullptr;
    summary.realtime = clock_->realtime();
    summary.companionProblem = companionProblem_;
    for (const Recorder* recorder : {&recSource_, &recPreprocess_, &recResample_, &recDecode_}) {
        if (!recorder->path().empty()) summary.recordings.push_back(recorder->path());
    }
    PrintReport(settings_, stages_, summary, wall);
    return StopRequested() ? StoppedStatus() : 0;
}

}  // namespace voice
}  // namespace cli
