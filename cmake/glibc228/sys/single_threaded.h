// GCC's libstdc++ headers include this glibc 2.32 header; zig's glibc 2.28
// headers refuse it. The variable is defined in shims.cpp.
#pragma once
extern "C" char __libc_single_threaded;
