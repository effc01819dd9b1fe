// Linked into every engine test. The test marketplace's HTTP library is not
// built with ThreadSanitizer, so the sanitizer cannot see how its connection
// threads hand data over and reports races wholly inside it, for instance
// while a stalled answer waits.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libcpp-httplib.so\n";
}
