// How much more memory the process can really have before the system, or
// a memory cgroup's limit, runs out: Linux hands out memory it may not
// have (overcommit), and a process that then touches more than there is,
// or more than its cgroup allows, is killed, records and all. os_room.cpp
// reads the figures; os_posix.cpp checks a block's growth against them.
#ifndef KARTOTEKA_OS_OS_ROOM_H_
#define KARTOTEKA_OS_OS_ROOM_H_

#include <cstdint>

// How many more bytes the process may touch before the system or one of
// its memory cgroups runs out; UINT64_MAX where the system gives no
// figure. Reads /proc each time; the cgroup is found once.
uint64_t os_memory_room();

#endif  // KARTOTEKA_OS_OS_ROOM_H_
