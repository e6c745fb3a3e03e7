#pragma once

#include <pthread.h>

namespace ovel {

// Names the calling thread (at most 15 characters) so that it can be told apart in
// debuggers, top -H and /proc.
inline void name_this_thread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

}  // namespace ovel
