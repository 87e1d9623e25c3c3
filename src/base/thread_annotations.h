#pragma once
// Lock rules the compiler checks: clang's thread-safety attributes and a
// mutex that carries them. Built with clang, tb_core turns a guarded member
// touched without its lock, or a lock left held, into a compile error; other
// compilers see the macros expand to nothing.
#include <atomic>
#include <cassert>
#include <mutex>
#include <thread>

#if defined(__clang__) && !defined(SWIG)
#define TB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TB_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(x) TB_THREAD_ANNOTATION(capability(x))
// An RAII type that holds a lock from its construction to its destruction.
#define SCOPED_CAPABILITY TB_THREAD_ANNOTATION(scoped_lockable)
// A member or global read and written only with the lock held.
#define GUARDED_BY(x) TB_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose target is used only with the lock held.
#define PT_GUARDED_BY(x) TB_THREAD_ANNOTATION(pt_guarded_by(x))
// Lock order, for the analysis' beta checks.
#define ACQUIRED_BEFORE(...) TB_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TB_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// The caller holds the lock when calling, and still does on return.
#define REQUIRES(...) TB_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TB_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes the lock and returns holding it.
#define ACQUIRE(...) TB_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function gives back a lock the caller held.
#define RELEASE(...) TB_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// Holds the lock on return exactly when the result equals the first argument.
#define TRY_ACQUIRE(...) TB_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold the lock: the function takes it itself.
#define EXCLUDES(...) TB_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// From here on the analysis takes the lock as held by this thread.
#define ASSERT_CAPABILITY(x) TB_THREAD_ANNOTATION(assert_capability(x))
// The function returns (a reference to) this lock.
#define RETURN_CAPABILITY(x) TB_THREAD_ANNOTATION(lock_returned(x))
// Opts one function out of the analysis; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS TB_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tb {

// A std::mutex the analysis can follow. Lock/Unlock for direct use, and the
// lowercase names so std::unique_lock and std::condition_variable_any accept
// it where a lock has to travel or wait.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // Blocks until this thread holds the lock; not reentrant.
  void Lock() ACQUIRE() { lock(); }
  // Only by the thread holding it.
  void Unlock() RELEASE() { unlock(); }
  // True when the lock was free and is now held by this thread.
  bool TryLock() TRY_ACQUIRE(true) { return try_lock(); }

  void lock() ACQUIRE() {
    mutex_.lock();
    NoteOwner(std::this_thread::get_id());
  }
  void unlock() RELEASE() {
    NoteOwner(std::thread::id());
    mutex_.unlock();
  }
  bool try_lock() TRY_ACQUIRE(true) {
    if (!mutex_.try_lock()) return false;
    NoteOwner(std::this_thread::get_id());
    return true;
  }

  // For a lock taken where the analysis cannot see it (through a
  // std::unique_lock that moves between functions): tells the analysis this
  // thread holds it, and in builds with assertions checks that it does.
  void AssertHeld() const ASSERT_CAPABILITY(this) {
#ifndef NDEBUG
    assert(owner_.load(std::memory_order_relaxed) == std::this_thread::get_id());
#endif
  }

 private:
  void NoteOwner([[maybe_unused]] std::thread::id owner) {
#ifndef NDEBUG
    owner_.store(owner, std::memory_order_relaxed);
#endif
  }

  std::mutex mutex_;
#ifndef NDEBUG
  // Written only by the holder; read by AssertHeld on the thread that asks.
  std::atomic<std::thread::id> owner_{};
#endif
};

// Holds a Mutex for the rest of the enclosing scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace tb
