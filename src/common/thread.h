// thread.h: names and scheduling priorities of the daemon's threads.
//
// Every long-lived thread carries a name ("top -H", "ps -L" and /proc show
// it) and one of three priorities:
//   - the UDP listener asks for nice -10: receiving events goes before
//     anything else on the machine, the daemon's own helpers and a
//     PostgreSQL server on the same box included. Lowering a nice value needs
//     CAP_SYS_NICE (root has it); without it the listener stays at the
//     priority it was started with and says so once;
//   - HTTP threads and the database writer run at nice 10: answering the
//     dashboard and writing behind are never as urgent as receiving;
//   - everything else keeps the process's priority.
#pragma once

namespace tarvex {

constexpr int kListenerNice = -10;
constexpr int kBackgroundNice = 10;

// Names the calling thread (at most 15 bytes are kept); the main thread
// keeps the process's name.
void nameThisThread(const char* name);

// Sets the calling thread's nice value; false when the kernel refuses it.
bool setThisThreadNice(int nice);

}  // namespace tarvex
