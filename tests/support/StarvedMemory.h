#pragma once
// Memory that runs out on demand, as under a low ulimit -v: a test program that starves memory
// gets this file's operator new in place of the standard one.
#include <thread>

// The sanitizers bring their own allocator: under them, no allocation is made to fail.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LAUNCHER_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LAUNCHER_SANITIZED 1
#endif
#endif

namespace launcher::testing {

// From now on every allocation through new throws std::bad_alloc, on every thread but `fed` when
// one is given, until feedMemory. Nothing fails under the sanitizers (LAUNCHER_SANITIZED).
void starveMemory(std::thread::id fed = {});
void feedMemory();

}  // namespace launcher::testing
