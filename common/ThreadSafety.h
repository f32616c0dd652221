// Clang's thread-safety attributes, under short names.
//
// The library's mutexes (quorin::Mutex) are capabilities and the members they
// guard say so with GUARDED_BY; functions that expect a lock held say
// REQUIRES. Clang with -Wthread-safety then checks at compile time that every
// guarded member is touched only under its lock. Other compilers see empty
// macros, so the attributes cost nothing there.
#pragma once

#if defined(__clang__)
#define QUORIN_TSA(x) __attribute__((x))
#else
#define QUORIN_TSA(x)
#endif

#define CAPABILITY(x) QUORIN_TSA(capability(x))
#define SCOPED_CAPABILITY QUORIN_TSA(scoped_lockable)
#define GUARDED_BY(x) QUORIN_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) QUORIN_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QUORIN_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QUORIN_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QUORIN_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) QUORIN_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUORIN_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QUORIN_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) QUORIN_TSA(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) QUORIN_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QUORIN_TSA(no_thread_safety_analysis)
