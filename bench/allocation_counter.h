// allocation_counter.h - heap allocations made anywhere in the process.
//
// The benchmark executable replaces the global operator new and delete. The
// plug-in module and the string library resolve those operators through the
// executable, so their allocations are counted too.
#ifndef VARNIK_BENCH_ALLOCATION_COUNTER_H
#define VARNIK_BENCH_ALLOCATION_COUNTER_H

#include <cstdint>

// Number of calls to any form of operator new (or new[]) so far.
std::uint64_t allocationCount();

#endif  // VARNIK_BENCH_ALLOCATION_COUNTER_H
