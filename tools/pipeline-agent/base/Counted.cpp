#include "base/Counted.h"

std::string counted(std::size_t count, const char* one, const char* many) {
    if (count == 1) return "1 " + std::string(one);
    return std::to_string(count) + " " + (many ? std::string(many) : std::string(one) + "s");
}
