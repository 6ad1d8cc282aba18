#include "python/arena_supply.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vintrel_native {

namespace {

// The host's arena size on 64-bit builds; arenas of another size are mapped when asked for.
constexpr size_t kArenaBytes = size_t{1} << 20;

void* map_arena(size_t bytes, bool fault_in) {
  void* arena = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | (fault_in ? MAP_POPULATE : 0), -1, 0);
  return arena == MAP_FAILED ? nullptr : arena;
}

// True when the host's arena allocator is its own, which maps each arena as anonymous memory
// and unmaps it with munmap: only then may the arenas handed out here be given back to it.
bool host_allocator_is_its_own(const PyObjectArenaAllocator& allocator) {
  Dl_info allocator_home{};
  Dl_info host_home{};
  if (dladdr(reinterpret_cast<void*>(allocator.alloc), &allocator_home) == 0 ||
      dladdr(reinterpret_cast<void*>(&PyObject_GetArenaAllocator), &host_home) == 0) {
    return false;
  }
  return allocator_home.dli_fbase == host_home.dli_fbase;
}

}  // namespace

struct ArenaSupply::State {
  PyObjectArenaAllocator previous{};
  size_t ahead = 0;  // arenas kept ready
  std::mutex mutex;
  std::condition_variable wake;
  std::vector<void*> ready;  // guarded by mutex
  bool stop = false;         // guarded by mutex
  // A thread of its own, not a task of the pool: a pool thread waiting for other tasks could
  // pick up this one, which runs until the supply is taken down, and never come back.
  std::thread worker;

  // The worker's loop: keeps `ahead` faulted-in arenas ready until stopped (or out of memory,
  // when the host maps its own arenas again).
  void fill() {
    while (true) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return stop || ready.size() < ahead; });
        if (stop) return;
      }
      void* arena = map_arena(kArenaBytes, /*fault_in=*/true);
      if (arena == nullptr) return;
      const std::lock_guard<std::mutex> lock(mutex);
      if (stop) {
        munmap(arena, kArenaBytes);
        return;
      }
      ready.push_back(arena);  // within the reserved capacity: never allocates
    }
  }

  static void* alloc(void* context, size_t bytes) {
    auto* state = static_cast<State*>(context);
    if (bytes == kArenaBytes) {
      void* arena = nullptr;
      bool low = false;
      {
        const std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->ready.empty()) {
          arena = state->ready.back();
          state->ready.pop_back();
        }
        low = state->ready.size() == state->ahead / 2 || state->ready.empty();
      }
      // The worker is woken when half the arenas are gone, not at every one: a wake-up may
      // cost the waking thread its processor.
      if (low) state->wake.notify_one();
      if (arena != nullptr) return arena;
    }
    return map_arena(bytes, /*fault_in=*/false);
  }

  // Arenas are given back as the host gives back its own (munmap).
  static void free(void* context, void* arena, size_t bytes) {
    auto* state = static_cast<State*>(context);
    state->previous.free(state->previous.ctx, arena, bytes);
  }
};

ArenaSupply::ArenaSupply(size_t ahead_bytes) {
  PyObjectArenaAllocator current{};
  PyObject_GetArenaAllocator(&current);
  if (current.alloc == &State::alloc || !host_allocator_is_its_own(current)) return;
  State* state = nullptr;
  try {
    state = new State();
    state->previous = current;
    state->ahead = ahead_bytes / kArenaBytes;
    state->ready.reserve(state->ahead);
    state->worker = std::thread([state] { state->fill(); });
  } catch (...) {  // no memory or no thread: the host maps its arenas itself
    delete state;
    return;
  }
  PyObjectArenaAllocator supply{state, &State::alloc, &State::free};
  PyObject_SetArenaAllocator(&supply);
  state_ = state;
}

ArenaSupply::~ArenaSupply() {
  if (state_ == nullptr) return;
  PyObject_SetArenaAllocator(&state_->previous);
  {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
  }
  state_->wake.notify_all();
  state_->worker.join();
  for (void* arena : state_->ready) munmap(arena, kArenaBytes);
  delete state_;
}

}  // namespace vintrel_native
