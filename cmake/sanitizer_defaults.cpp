// Linked into every sanitized program: the first report ends the program
// with an abort, so no test, fuzzer or daemon run can pass over one. Options
// in ASAN_OPTIONS and UBSAN_OPTIONS still apply on top of these.

extern "C" {

const char* __asan_default_options();
const char* __ubsan_default_options();

__attribute__((used)) const char* __asan_default_options() {
    return "abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:"
           "check_initialization_order=1:strict_init_order=1:strict_string_checks=1";
}

__attribute__((used)) const char* __ubsan_default_options() {
    return "abort_on_error=1:halt_on_error=1:print_stacktrace=1";
}

}
