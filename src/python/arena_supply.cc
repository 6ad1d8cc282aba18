#include "python/arena_supply.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
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

// True when the supply may stand in for `current`: the host's own allocator (which maps
// arenas as anonymous memory and unmaps them: only then may it be given ours back), and no
// thread but the lock holder can ask for an arena while the lock stays held: a build with
// that lock, the main interpreter and no other alive (another has a lock of its own; none can
// be created meanwhile, as that takes a lock and the only one is held). Call with the lock held.
bool may_supply(const PyObjectArenaAllocator& current) {
#if defined(Py_GIL_DISABLED)
  return false;
#endif
  PyInterpreterState* self = PyInterpreterState_Get();
  Dl_info allocator_home{};
  Dl_info host_home{};
  return self == PyInterpreterState_Main() && PyInterpreterState_Head() == self &&
         PyInterpreterState_Next(self) == nullptr &&
         dladdr(reinterpret_cast<void*>(current.alloc), &allocator_home) != 0 &&
         dladdr(reinterpret_cast<void*>(&PyObject_GetArenaAllocator), &host_home) != 0 &&
         allocator_home.dli_fbase == host_home.dli_fbase;
}

}  // namespace

struct ArenaSupply::State {
  PyObjectArenaAllocator previous{};
  size_t ahead = 0;  // arenas kept ready
  std::mutex mutex;
  std::condition_variable wake;
  std::vector<void*> ready;  // guarded by mutex
  bool stop = false;         // guarded by mutex
  std::thread worker;  // of its own, as helper work is (helper_threads.h)
  pid_t pid = 0;       // the process the worker runs in

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

namespace {

// The supply in place, for a child forked meanwhile.
std::atomic<ArenaSupply::State*> installed{nullptr};

// A child forked while a supply is installed (by a thread without the interpreter lock) has no
// thread filling it: it gets the host's allocator back, and the ready arenas are unmapped
// unless the lost thread held their lock; the state stays, as its thread cannot be joined.
void forget_supply_in_child() {
  ArenaSupply::State* state = installed.exchange(nullptr);
  if (state == nullptr) return;
  PyObject_SetArenaAllocator(&state->previous);
  if (!state->mutex.try_lock()) return;
  for (void* arena : state->ready) munmap(arena, kArenaBytes);
  state->ready.clear();
  state->mutex.unlock();
}

}  // namespace

ArenaSupply::ArenaSupply(size_t ahead_bytes) {
  static const bool fork_handled = pthread_atfork(nullptr, nullptr, &forget_supply_in_child) == 0;
  PyObjectArenaAllocator current{};
  PyObject_GetArenaAllocator(&current);
  if (!fork_handled || !may_supply(current)) return;
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
  state->pid = getpid();
  state_ = state;
  take_up();
}

void ArenaSupply::take_up() {
  if (state_ == nullptr || in_place_) return;
  PyObjectArenaAllocator current{};
  PyObject_GetArenaAllocator(&current);
  if (current.ctx != state_->previous.ctx || current.alloc != state_->previous.alloc ||
      current.free != state_->previous.free || !may_supply(current) ||
      getpid() != state_->pid) {
    return;
  }
  PyObjectArenaAllocator supply{state_, &State::alloc, &State::free};
  installed.store(state_);  // before the switch: a child forked between them restores nothing
  PyObject_SetArenaAllocator(&supply);
  in_place_ = true;
}

void ArenaSupply::put_back() {
  if (!in_place_) return;
  PyObject_SetArenaAllocator(&state_->previous);
  installed.store(nullptr);
  in_place_ = false;
}

ArenaSupply::~ArenaSupply() {
  if (state_ == nullptr) return;
  put_back();
  // In a child forked while the supply was out, its thread does not exist (and may have
  // held its lock): the state is left as it is.
  if (getpid() != state_->pid) return;
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
