// WAV files as the host handles them beside the engine's "RIFFAudioIn" and "RIFFAudioOut":
// the layout of a file read by the host itself, the audio read through the engine where its
// scan finds it, sizes repaired after a recording that never finished, and recordings that
// are finished on every way out of a command.
#pragma once

#include <zelmar/zelmar.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "cli.h"

namespace cli {

// Where the parts of a WAV file are.  Chunks are walked as RIFF lays them out: an odd-sized
// chunk is followed by a pad byte.  (The engine's reader skips no pad byte, so it loses its
// way after such a chunk.)
struct WavLayout {
    uint64_t fileBytes = 0;
    uint32_t riffBytes = 0;         // the RIFF size field at offset 4
    bool haveFormat = false;        // a "fmt " chunk of 16 bytes or more before the data
    WAVEFORMATEX format{};
    uint8_t formatBlock[ZELMAR_FORMAT_BLOCK_BYTES] = {};  // the format with its extra bytes
    bool haveData = false;          // a "data" chunk header was found
    uint64_t dataSizeOffset = 0;    // file offset of the data chunk's size field
    uint32_t declaredDataBytes = 0; // that field
    bool padBeforeData = false;     // an odd-sized chunk and its pad byte come before the data

    uint64_t DataOffset() const { return dataSizeOffset + 4; }
    // What the file holds after the data chunk's header.
    uint64_t BytesAfterDataHeader() const { return fileBytes > DataOffset() ? fileBytes - DataOffset() : 0; }
};

// Reads the layout of `path` up to its data chunk: "" or why it is no WAV file.
std::string ReadWavLayout(const std::string& path, WavLayout* layout);

// Header facts of a WAV file, read by the host to know its format and length.
struct WavProbe {
    WAVEFORMATEX format{};
    uint32_t dataBytes = 0;   // the audio to read: the declared size, or what the file holds
    uint64_t dataOffset = 0;
    bool unfinished = false;  // the data size is 0 or passes the end of the file
    bool engineScans = false; // "RIFFAudioIn" finds this data chunk at this size
};
// Returns an empty string on success, else what is wrong with the file.
std::string ProbeWav(const std::string& path, WavProbe* probe);

// The audio of a probed WAV file: through "RIFFAudioIn" where its scan finds the data chunk,
// else (a pad byte before the data, an unfinished recording) read by the host itself.
class WavInput {
public:
    // "" or what failed.
    std::string Open(const std::string& path, const WavProbe& probe);
    // Fills `bytes` bytes as the engine's GetData does: the count, or a negative result code.
    int32_t Read(void* buffer, int32_t bytes);
    // Who reads the file: "RIFFAudioIn" or "the host".
    const char* reader() const { return engine_ ? "RIFFAudioIn" : "the host"; }

private:
    Component engine_;
    std::ifstream file_;
};

// Writes the sizes of a WAV file whose writer never finished (left 0 or past the end) from
// the file's length; right sizes are left as they are.  On success sets *report to what was
// done and returns "", else what is wrong with the file.
std::string RepairWav(const std::string& path, std::string* report);

// A WAV file recorded through "RIFFAudioOut" that ends finished however the command ends:
// Finish, or else the destructor (an early return, a failure), stops the writer, which
// writes the sizes.  Then the file's header is read back and checked.
class WavRecording {
public:
    WavRecording() = default;
    ~WavRecording() { Finish(); }
    WavRecording(const WavRecording&) = delete;
    WavRecording& operator=(const WavRecording&) = delete;

    // Creates `path` (and its directories) for `format` and checks that its header reached the
    // file; "" or a sentence saying what failed ("cannot create PATH: is a directory").
    std::string Open(const std::string& path, const WAVEFORMATEX& format);
    // The same for a coded format: `block` holds `format` and its cbSize extra bytes.
    std::string Open(const std::string& path, const WAVEFORMATEX& format, const void* block);
    // Writes the whole block; "" or what failed: the engine's result code, or how much of the
    // block the file took (a full disk, a file size limit).
    std::string Write(const void* data, int32_t bytes);
    // Stops the writer and checks the sizes in the header against what was written; "" or
    // what is wrong.  Later calls return "".
    std::string Finish();

    bool is_open() const { return static_cast<bool>(writer_); }
    const std::string& path() const { return path_; }
    // The audio the file (with its part files, past 2 GB) took.
    uint64_t bytes() const { return bytes_; }
    double seconds() const;

private:
    Component writer_;
    std::string path_;
    WAVEFORMATEX format_{};
    uint64_t bytes_ = 0;
    uint32_t partIndex_ = 0;   // the part file being written (the writer's rollover)
    uint32_t partBytes_ = 0;   // audio bytes in it
};

// Ends a command whose recording failed: finishes the file and says what it keeps.
int FailKeeping(WavRecording& recording, const std::string& message);

}  // namespace cli
