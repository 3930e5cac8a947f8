#include "ui/closeonsignal.h"

#include <QSocketNotifier>
#include <QWidget>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A signal handler may only write to a pipe; the event loop reads the other end.
int signalPipe[2] = {-1, -1};

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
// The signals taken over; one ignored at start (SIGHUP under nohup, SIGINT
// in a background job) stays ignored.
sigset_t taken;

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

void setHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals)
        if (sigismember(&taken, s) == 1) ::sigaction(s, &action, nullptr);
}

} // namespace

void closeOnSignal(QWidget* window) {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char drain[16];
        while (::read(signalPipe[0], drain, sizeof drain) > 0) {
        }
        window->close();
    });
    // Without the window nobody would act on the signal: let it end the process.
    QObject::connect(notifier, &QObject::destroyed, [] {
        setHandler(SIG_DFL);
        sigemptyset(&taken);
    });
    sigemptyset(&taken);
    for (int s : kSignals) {
        struct sigaction current {};
        if (::sigaction(s, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            sigaddset(&taken, s);
    }
    setHandler(onSignal);
}
