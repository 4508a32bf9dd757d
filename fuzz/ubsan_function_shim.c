/* fuzz/ubsan_function_shim.c: clang 14's -fsanitize=function (part of
 * -fsanitize=undefined) reports through this handler, which the newer
 * sanitizer runtime that atheris ships (asan_with_fuzzer.so) no longer has;
 * without it the sanitized module cannot be imported under atheris. A call
 * it catches is a finding like any other sanitizer report. */
#include <stdio.h>
#include <stdlib.h>

void __ubsan_handle_function_type_mismatch_v1_abort(void *data, void *value, void *a, void *b) {
  (void)data, (void)value, (void)a, (void)b;
  fprintf(stderr, "UndefinedBehaviorSanitizer: call through a function pointer of the wrong type\n");
  abort();
}
