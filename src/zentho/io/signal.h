#pragma once
// Synchronous signal service: signals with a registered handler are blocked
// and read from a signalfd by a loop coroutine on the vCPU that started the
// service; handlers run on that coroutine. Start and stop are serialised.

#include <signal.h>

namespace zentho {

// Starts the service on the calling vCPU (0 when it runs already), or -1.
int sync_signal_init();
// Stops it when called on the vCPU that started it; otherwise does nothing. 0 or -1.
int sync_signal_fini();

using sync_signal_handler = void (*)(int signum);
using sync_sigaction_handler = void (*)(int signum, siginfo_t* info, void* unused);
// Registers handler for signum (null unregisters) and blocks or unblocks the
// signal on the calling thread accordingly. 0, or -1/EINVAL.
int sync_signal(int signum, sync_signal_handler handler);
int sync_sigaction(int signum, sync_sigaction_handler handler);

}  // namespace zentho
