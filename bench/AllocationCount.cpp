// Replaces the global allocation functions of the benchmark binary (the
// library and the fake, being shared objects, resolve theirs to these too)
// with counting ones on top of malloc.

#include "bench/AllocationCount.h"

#include <cstdlib>
#include <new>

#include "platform/fake/FakePlatform.h"

namespace {

AllocationCount g_count;

void* allocate(std::size_t size) {
    if (fakeplatform::insidePlatformCall()) {
        ++g_count.platform;
    } else {
        ++g_count.outside;
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (!memory) throw std::bad_alloc();
    return memory;
}

void* allocate(std::size_t size, std::align_val_t alignment) {
    if (fakeplatform::insidePlatformCall()) {
        ++g_count.platform;
    } else {
        ++g_count.outside;
    }
    const auto align = static_cast<std::size_t>(alignment);
    // aligned_alloc wants a multiple of the alignment.
    void* memory = std::aligned_alloc(align, (size + align - 1) / align * align);
    if (!memory) throw std::bad_alloc();
    return memory;
}

}  // namespace

AllocationCount allocationsSoFar() { return g_count; }

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocate(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocate(size, alignment);
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
