// Linked into the sanitized builds of the tool and of the test program only.
// The tests run the tool with an empty environment, where a sanitizer report
// would end the process with status 1, the tool's own failure status:
// aborting instead makes every report a signal that no test can take for an
// expected outcome.
extern "C" const char* __asan_default_options() {
  return "abort_on_error=1:detect_leaks=1:strict_string_checks=1";
}
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1:abort_on_error=1"; }
extern "C" const char* __tsan_default_options() { return "halt_on_error=1:abort_on_error=1"; }
