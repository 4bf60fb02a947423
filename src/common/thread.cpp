// thread.cpp: thread names and priorities.
#include "common/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>

namespace tarvex {

void nameThisThread(const char* name) {
    // The main thread's name is the process's name in ps, top and pgrep:
    // it stays "tarvex".
    if (gettid() == getpid()) return;
    char buf[16];
    std::strncpy(buf, name, sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    pthread_setname_np(pthread_self(), buf);
}

bool setThisThreadNice(int nice) {
    // On Linux the nice value belongs to the thread: PRIO_PROCESS with a
    // thread id changes that thread alone.
    return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0;
}

}  // namespace tarvex
