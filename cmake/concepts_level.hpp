// Force-included by the clang fuzzing build. libstdc++ 12 offers <expected>
// only when __cpp_concepts is 202002; clang implements what it relies on
// (conditionally trivial special members) from version 16 but announces
// that level only from version 19.
#pragma once
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wmacro-redefined"
#pragma clang diagnostic ignored "-Wbuiltin-macro-redefined"
#undef __cpp_concepts
#define __cpp_concepts 202002L
#pragma clang diagnostic pop
