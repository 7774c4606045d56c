#include "app/signal_watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace velmora {

namespace {

// Each caught signal's pipe, written by the handler.
volatile sig_atomic_t g_pipeFor[NSIG];

// The signal may land between a call of the interrupted code and its look at
// errno: a write that fails here (the pipe full) must not change what it sees.
void onSignal(int signal) {
    const int savedErrno = errno;
    const int fd = g_pipeFor[signal];
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (fd > 0) [[maybe_unused]]
        const auto n = ::write(fd, &byte, 1);
    errno = savedErrno;
}

}  // namespace

SignalWatch::SignalWatch(std::initializer_list<int> numbers, QObject* parent)
    : QObject(parent), signals_(numbers) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char buffer[64];
        for (ssize_t n; (n = ::read(pipe_[0], buffer, sizeof buffer)) > 0;)
            for (ssize_t i = 0; i < n; ++i) emit caught(buffer[i]);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : signals_) {
        g_pipeFor[signal] = pipe_[1];
        ::sigaction(signal, &action, nullptr);
    }
}

SignalWatch::~SignalWatch() {
    for (int signal : signals_) {
        ::signal(signal, SIG_DFL);
        g_pipeFor[signal] = -1;
    }
    for (int& fd : pipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

}  // namespace velmora
