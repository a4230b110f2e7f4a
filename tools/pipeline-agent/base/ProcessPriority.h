#pragma once

#include <string>

// Lowers the calling thread's CPU and I/O priority, as `nice -n 10 ionice
// -c 2 -n 7` would run it: 10 more niceness, and the lowest level of the
// best-effort I/O class (what the kernel's I/O scheduler weighs: BFQ does,
// none and mq-deadline do not). Every thread started from it afterwards
// inherits both, so it is called before a job starts its threads. Returns
// an empty string, or one line saying what could not be lowered and why;
// nothing is undone then. Never raises a priority.
std::string lowerPriority();
