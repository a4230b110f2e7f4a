#pragma once

// Proves a floor faithful: runs both sides of a case against a journaling
// fake and compares every platform call they made, with its records, log
// text and result. Archive objects and session heads are compared by their
// order of first appearance, since the two sides may hold different ones.

#include <string>

#include "bench/Cases.h"

// Empty when the floor of kind over streams streams made the library's calls;
// else the first difference.
std::string checkFloor(CaseKind kind, unsigned long streams);
