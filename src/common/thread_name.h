#pragma once

#include <pthread.h>

namespace ovel {

// Names the calling thread so that it can be told apart in debuggers, top -H and /proc. The
// kernel takes at most 15 characters; a longer name is refused and the thread keeps its
// creator's name.
inline bool name_this_thread(const char* name) {
    return pthread_setname_np(pthread_self(), name) == 0;
}

}  // namespace ovel
