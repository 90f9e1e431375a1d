// A PulseAudio daemon of one program's own with one null sink, started as tests/sound_server.sh
// starts the suite's (a fresh 0700 runtime folder, native protocol, no idle exit), for a test
// that kills its server and for the sound-device benchmark.  Header-only: the benchmark uses
// it too.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace zelmar::test {

class PrivateSoundServer {
public:
    PrivateSoundServer(std::string sinkName, std::string sinkDescription)
        : sinkName_(std::move(sinkName)), sinkDescription_(std::move(sinkDescription)) {
        char pattern[] = "/tmp/zelmar-pulse-own.XXXXXX";
        if (mkdtemp(pattern) != nullptr) dir_ = pattern;
        if (!dir_.empty()) chmod(dir_.c_str(), 0700);
    }
    ~PrivateSoundServer() {
        Signal(SIGTERM);
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // Empty when the server runs (again, after Kill), else why it does not.
    std::string Start() {
        if (dir_.empty()) return "cannot make a runtime folder";
        if (std::system("command -v pulseaudio >/dev/null 2>&1") != 0) return "pulseaudio is not installed";
        const std::string command =
            "XDG_RUNTIME_DIR='" + dir_ + "' PULSE_RUNTIME_PATH='" + dir_ + "/pulse' "
            "pulseaudio -n --daemonize=yes --exit-idle-time=-1 --disallow-exit --system=false "
            "-L module-native-protocol-unix -L 'module-null-sink sink_name=" + sinkName_ +
            " sink_properties=device.description=" + sinkDescription_ + "' --log-target=file:'" + dir_ +
            "/log' 2>/dev/null";
        if (std::system(command.c_str()) != 0) return "pulseaudio would not start (log: " + dir_ + "/log)";
        for (int i = 0; i < 100; ++i) {
            if (access((dir_ + "/pulse/native").c_str(), F_OK) == 0 && Pid() > 0) return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return "pulseaudio started but its socket never appeared";
    }
    // A crash, not a shutdown: the clients get no goodbye.
    void Kill() { Signal(SIGKILL); }
    std::string Address() const { return "unix:" + dir_ + "/pulse/native"; }

private:
    void Signal(int signal) {
        const pid_t pid = Pid();
        if (pid <= 0) return;
        kill(pid, signal);
        for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::remove((dir_ + "/pulse/pid").c_str());
    }
    pid_t Pid() const {
        FILE* file = std::fopen((dir_ + "/pulse/pid").c_str(), "r");
        if (file == nullptr) return -1;
        int pid = -1;
        if (std::fscanf(file, "%d", &pid) != 1) pid = -1;
        std::fclose(file);
        return pid;
    }

    std::string dir_;
    std::string sinkName_;
    std::string sinkDescription_;
};

}  // namespace zelmar::test
