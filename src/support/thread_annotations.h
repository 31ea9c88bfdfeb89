// clang's thread-safety attributes. Other compilers (g++, mingw) see nothing,
// so the rules are checked by the clang builds alone (-Wthread-safety).
#pragma once

#if defined(__clang__)
#define CORVANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CORVANE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) CORVANE_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY CORVANE_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) CORVANE_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) CORVANE_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) CORVANE_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) CORVANE_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) CORVANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) CORVANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define REQUIRES_SHARED(...) CORVANE_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) CORVANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) CORVANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) CORVANE_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) CORVANE_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) CORVANE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) CORVANE_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) CORVANE_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) CORVANE_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS CORVANE_THREAD_ANNOTATION(no_thread_safety_analysis)
