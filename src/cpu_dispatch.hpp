// Hot integer loops compiled twice: for any x86-64 CPU and for the x86-64-v3
// level (AVX2, BMI1/2, POPCNT, LZCNT; Intel since 2013, AMD since 2015); the
// dynamic loader picks the copy the CPU supports. Only integer code is
// marked: its results are exact whichever instructions compute them, so the
// choice cannot change a bit. GCC only: clang wants the attribute on the
// first declaration and refuses it on templates, so a clang build runs the
// portable code.
#pragma once

#if defined(RSVELMO_CPU_DISPATCH) && defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__) && !defined(__clang__)
#define RSVELMO_CPU_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define RSVELMO_CPU_CLONES
#endif
