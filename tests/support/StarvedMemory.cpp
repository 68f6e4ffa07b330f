#include "tests/support/StarvedMemory.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> starving{false};
std::atomic<std::thread::id> fedThread;
}  // namespace

namespace launcher::testing {

void starveMemory(std::thread::id fed) {
  fedThread = fed;
  starving = true;
}

void feedMemory() {
  starving = false;
}

}  // namespace launcher::testing

#ifndef LAUNCHER_SANITIZED
// Kept out of line: inlined, the compiler would take the free() for a mismatch with new.
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (starving.load() && std::this_thread::get_id() != fedThread.load()) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept {
  std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
#endif
