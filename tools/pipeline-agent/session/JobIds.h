#pragma once

// A job id that no other job on this machine has: the time in milliseconds
// with the process id. Any thread.
unsigned long long newJobId();
