#include "SignalNotifier.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// [0] is written by the handler, [1] read on the main thread.
int pipeFds[2] = {-1, -1};

void onSignal(int number)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    // A full pipe drops the signal; enough of the same kind are already waiting.
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[0], &byte, 1);
    errno = savedErrno;
}
} // namespace

SignalNotifier::SignalNotifier(QObject* parent)
    : QObject(parent)
{
}

SignalNotifier::~SignalNotifier() = default;

bool SignalNotifier::install(QString* error)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeFds) != 0) {
        *error = QStringLiteral("cannot create the signal pipe: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_notifier = std::make_unique<QSocketNotifier>(pipeFds[1], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &SignalNotifier::onReadable);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGHUP, SIGINT, SIGTERM}) {
        if (::sigaction(number, &action, nullptr) != 0) {
            *error = QStringLiteral("cannot install the handler of signal %1: %2")
                         .arg(number)
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

void SignalNotifier::onReadable()
{
    unsigned char numbers[64];
    ssize_t count;
    while ((count = ::read(pipeFds[1], numbers, sizeof numbers)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (numbers[i] == SIGHUP)
                Q_EMIT hangup();
            else
                Q_EMIT terminate(numbers[i]);
        }
    }
}
