// static_tls.h — OBKEY_STATIC_TLS marks a thread_local of a shared library
// for the initial-exec model: its slot is reserved when the library loads,
// not allocated on first use. Programs load obkey and the token libraries
// with dlopen, and LeakSanitizer (which the sanitizer tests run over the
// tools) cannot walk the dynamic TLS of such libraries on this system's C
// library: it crashes at exit. The variables are a few bytes, which the
// loader's reserve for such libraries easily holds.
#ifndef OBKEY_COMMON_STATIC_TLS_H
#define OBKEY_COMMON_STATIC_TLS_H

#if defined(__ELF__)
#define OBKEY_STATIC_TLS __attribute__((tls_model("initial-exec")))
#else
#define OBKEY_STATIC_TLS
#endif

#endif  // OBKEY_COMMON_STATIC_TLS_H
