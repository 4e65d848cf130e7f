// The simulated case that "vorasel-simulated:" names lives as long as the process and is never
// destroyed; its reader joins the session threads of a detached case only when the next
// session starts. A test that ends with that case detached leaves those finished threads
// unjoined at exit, which ThreadSanitizer reports as leaks: only that report is silenced.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORASEL_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VORASEL_TSAN 1
#endif

#ifdef VORASEL_TSAN
extern "C" const char *__tsan_default_suppressions() {
    return "thread:hv::sim::CcidReader::attachPort\n";
}
#endif
