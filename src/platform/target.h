// Which platform's calls this build uses. OVEL_PORTABLE_PLATFORM forces the portable ones (what
// macOS and the BSDs build) on any system, so that they can be tested on Linux.
#pragma once

#if defined(_WIN32) && !defined(OVEL_PORTABLE_PLATFORM)
#define OVEL_PLATFORM_WINDOWS 1
#define OVEL_PLATFORM_LINUX 0
#elif defined(__linux__) && !defined(OVEL_PORTABLE_PLATFORM)
#define OVEL_PLATFORM_WINDOWS 0
#define OVEL_PLATFORM_LINUX 1
#else
#define OVEL_PLATFORM_WINDOWS 0
#define OVEL_PLATFORM_LINUX 0
#endif

