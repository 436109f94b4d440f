// ThreadSanitizer's options for every test built with it, without anything to set when it
// runs. Qt is the system's build, not instrumented: its own loads and stores are invisible
// to the sanitizer, and so are the locks and atomics with which it hands posted events and
// shared data (event objects, queued signal arguments, QByteArray and QString payloads) to
// another thread. Only the C library calls it makes (malloc, free, memcpy) would be seen,
// each as an access without the hand-over that orders it, so they are left out as well
// (ignore_noninstrumented_modules). Every access of the project's own code stays watched,
// whatever Qt frames its stack holds; tests/tsan.supp names what must still be suppressed.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1 suppressions=" LINTARO_TSAN_SUPPRESSIONS;
}
