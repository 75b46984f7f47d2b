// Lock annotations for clang's thread-safety analysis (-Wthread-safety, on in every clang
// build: the fuzz preset's compiler checks them). Other compilers read them as nothing.
//
//   class CCounter {
//    public:
//     void Add() EXCLUDES(m_lock) { CLockHolder<CRecursiveLock> hold(m_lock); ++m_count; }
//    private:
//     CRecursiveLock m_lock;
//     int m_count GUARDED_BY(m_lock) = 0;
//   };
//
// The locks to annotate with are the ones in platform/annotated_lock.h: the standard
// library's mutexes carry no annotations of their own.
#pragma once

#if defined(__clang__)
#define AMBERLINE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define AMBERLINE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) AMBERLINE_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY AMBERLINE_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) AMBERLINE_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) AMBERLINE_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) AMBERLINE_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) AMBERLINE_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) AMBERLINE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) AMBERLINE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) AMBERLINE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) AMBERLINE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) AMBERLINE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) AMBERLINE_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS AMBERLINE_THREAD_ANNOTATION(no_thread_safety_analysis)
