// The suppressions of Qt's own reports (tests/tsan.supp), for every test built with
// ThreadSanitizer, without anything to set when it runs.
extern "C" const char* __tsan_default_options() { return "suppressions=" LINTARO_TSAN_SUPPRESSIONS; }
