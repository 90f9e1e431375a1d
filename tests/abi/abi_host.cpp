// A host that knows only the public headers and the shared library: the format block's size
// and the split interfaces' slot layout, through a stereo WAV round trip.  (Names, the null
// component and disposal of null are the unit tests' Factory and Contract cases.)
#include <zelmar/zelmar.h>
#include <zelmar/zelmar_split.h>

#include <cstdio>
#include <cstring>

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) std::printf("FAIL: %s\n", what), ++failures;
}

}  // namespace

int main() {
    Check(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes");
    // A WAV round trip through the split interfaces, as a host would write it.
    const char* path = "abi_host_roundtrip.wav";
    auto* writer = static_cast<IAudioIOSplitSink*>(ZelmarCreateComponent("RIFFAudioOut"));
    auto* reader = static_cast<IAudioIOSplitSource*>(ZelmarCreateComponent("RIFFAudioIn"));
    Check(writer && reader, "WAV components exist");
    if (writer && reader) {
        WAVEFORMATEX wfx{1, 2, 16000, 64000, 4, 16, 0};
        Check(writer->SetProperty("Filename", 0, const_cast<char*>(path)) == 0, "writer Filename");
        Check(writer->SetProperty("WaveFormat", 0, &wfx) == 0, "writer WaveFormat");
        Check(writer->Start() == 0, "writer Start");
        const int16_t left[4] = {1, 2, 3, 4}, right[4] = {-1, -2, -3, -4};
        Check(writer->PutDataSplit(left, right, sizeof left) == static_cast<int32_t>(sizeof left), "PutDataSplit");
        Check(writer->Stop() == 0, "writer Stop");

        Check(reader->SetProperty("Filename", 0, const_cast<char*>(path)) == 0, "reader Filename");
        Check(reader->Build() == 0, "reader Build");
        Check(reader->Start() == 0, "reader Start");
        int16_t l[4] = {}, r[4] = {};
        Check(reader->GetDataSplit(l, r, sizeof l) == static_cast<int32_t>(sizeof l), "GetDataSplit");
        Check(std::memcmp(l, left, sizeof l) == 0 && std::memcmp(r, right, sizeof r) == 0, "channels round trip");
        reader->Stop();
    }
    Check(ZelmarDisposeComponent(writer) == 0 && ZelmarDisposeComponent(reader) == 0, "disposed");
    std::remove(path);

    std::printf("%s\n", failures == 0 ? "abi host: all checks passed" : "abi host: failures");
    return failures == 0 ? 0 : 1;
}
