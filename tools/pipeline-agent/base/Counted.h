#pragma once

#include <cstddef>
#include <string>

// "1 file", "2 files": count and the word for one of what is counted, or
// for many (`many`; one followed by "s" when none is given).
std::string counted(std::size_t count, const char* one, const char* many = nullptr);
