// Lock annotations that clang's -Wthread-safety checks: which lock guards a field, which lock
// a function needs held. Other compilers see nothing.
//
// The OS-layer locks are re-entrant, the analysis is not: a function that REQUIRES a lock must
// not take it again, and a class's lock order stays the prose at its declaration.
#pragma once

#if defined(__clang__)
#define VX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VX_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) VX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VX_THREAD_ANNOTATION(lock_returned(x))
// For a function whose locking the analysis cannot follow; say why where it is used.
#define NO_THREAD_SAFETY_ANALYSIS VX_THREAD_ANNOTATION(no_thread_safety_analysis)
