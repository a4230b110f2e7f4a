#pragma once

// Heap allocations of the benchmark binary, counted by its replaced global
// operator new and told apart by whether they were made inside one of the
// fake platform's calls (the platform's own) or outside (the library's, or
// the floor's). Only the program's single benchmark thread allocates while a
// count is read.

struct AllocationCount {
    long long outside = 0;   // made outside every platform call
    long long platform = 0;  // made inside a platform call

    AllocationCount& operator+=(const AllocationCount& other) {
        outside += other.outside;
        platform += other.platform;
        return *this;
    }
    friend AllocationCount operator-(AllocationCount a, const AllocationCount& b) {
        a.outside -= b.outside;
        a.platform -= b.platform;
        return a;
    }
};

// The allocations made so far by this program.
AllocationCount allocationsSoFar();
