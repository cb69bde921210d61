// Clang's thread-safety annotations. The clang build of the server
// (-Wthread-safety -Werror) checks that data marked GUARDED_BY is touched
// only with its lock held and that functions marked REQUIRES are called
// with it; other compilers see nothing.
#ifndef DIRSYNC_PLATFORM_THREAD_ANNOTATIONS_H_
#define DIRSYNC_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define DIRSYNC_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define DIRSYNC_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) DIRSYNC_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY DIRSYNC_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) DIRSYNC_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) DIRSYNC_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) \
  DIRSYNC_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) \
  DIRSYNC_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) DIRSYNC_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) \
  DIRSYNC_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) DIRSYNC_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) \
  DIRSYNC_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) \
  DIRSYNC_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) \
  DIRSYNC_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) DIRSYNC_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) DIRSYNC_THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) \
  DIRSYNC_THREAD_ANNOTATION(assert_shared_capability(x))
#define RETURN_CAPABILITY(x) DIRSYNC_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS \
  DIRSYNC_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // DIRSYNC_PLATFORM_THREAD_ANNOTATIONS_H_
