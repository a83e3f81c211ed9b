// Hot integer loops compiled twice: for any x86-64 CPU and for the x86-64-v3
// level (AVX2, BMI1/2, POPCNT, LZCNT; Intel since 2013, AMD since 2015). The
// loader picks one when the library is loaded. Both run the same integer
// operations in the same order, so results do not depend on which one runs;
// only integer code is marked, so no floating-point result can change with
// the instructions chosen. GCC only: clang wants the attribute on the first
// declaration and takes no templates; a clang build runs the portable code.
#pragma once

#if defined(RSVELMO_CPU_DISPATCH) && defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__) && !defined(__clang__)
#define RSVELMO_CPU_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define RSVELMO_CPU_CLONES
#endif
