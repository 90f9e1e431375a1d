#include "interrupt.h"

#include <signal.h>

#include <atomic>
#include <initializer_list>

namespace cli {
namespace {

// Written by the handler, read by any thread of the command.
std::atomic<int> gStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch a lock-free atomic");

void NoteStop(int signal) {
    int none = 0;
    if (!gStopSignal.compare_exchange_strong(none, signal)) {
        // Asked twice: the default action ends the program now.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
}

}  // namespace

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // calls under way go on; the loops look at the flag
    for (int signal : {SIGINT, SIGTERM}) {
        // A signal the program was started with ignored (a shell's background job) stays so.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }
    // A reader leaving a FIFO the output goes to makes the write fail, and the command says
    // so and finishes, rather than die of the signal.
    ::signal(SIGPIPE, SIG_IGN);
}

int StopSignal() { return gStopSignal.load(); }

int StoppedStatus() { return 128 + StopSignal(); }

const char* StoppedNote() {
    switch (StopSignal()) {
        case 0: return "";
        case SIGINT: return " (stopped by SIGINT)";
        case SIGTERM: return " (stopped by SIGTERM)";
        default: return " (stopped by a signal)";
    }
}

}  // namespace cli
