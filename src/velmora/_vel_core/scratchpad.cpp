// Bump allocator handed to each request: one block, rewound between uses.
#include "scratchpad.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr size_t kBlockAlignment = 64;

bool is_power_of_two(size_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

vel_err scratchpad_init(ScratchpadArena *arena, size_t capacity)
{
    if (arena == nullptr || capacity == 0) {
        return VEL_ERR_BAD_ARG;
    }
    scratchpad_destroy(arena);
    // aligned_alloc wants a size that is a multiple of the alignment.
    size_t rounded = (capacity + kBlockAlignment - 1) & ~(kBlockAlignment - 1);
    if (rounded < capacity) {
        return VEL_ERR_OVERFLOW;
    }
    void *block = std::aligned_alloc(kBlockAlignment, rounded);
    if (block == nullptr) {
        return VEL_ERR_NOMEM;
    }
    arena->buffer = static_cast<unsigned char *>(block);
    arena->capacity = capacity;
    arena->offset = 0;
    arena->is_dynamic = 1;
    return VEL_OK;
}

vel_err scratchpad_alloc(ScratchpadArena *arena, size_t size, size_t alignment, void **out)
{
    if (arena == nullptr || out == nullptr || !is_power_of_two(alignment) ||
        alignment > VEL_SCRATCHPAD_MAX_ALIGNMENT) {
        return VEL_ERR_BAD_ARG;
    }
    if (arena->buffer == nullptr) {
        return VEL_ERR_NOMEM;
    }
    // Align the address, not the offset: the block itself is only 64-aligned.
    uintptr_t base = reinterpret_cast<uintptr_t>(arena->buffer);
    uintptr_t here = base + arena->offset;
    uintptr_t aligned = (here + alignment - 1) & ~static_cast<uintptr_t>(alignment - 1);
    size_t start = static_cast<size_t>(aligned - base);
    if (start > arena->capacity || size > arena->capacity - start) {
        return VEL_ERR_ARENA_EXHAUSTED;
    }
    *out = arena->buffer + start;
    arena->offset = start + size;
    return VEL_OK;
}

void scratchpad_destroy(ScratchpadArena *arena)
{
    if (arena == nullptr) {
        return;
    }
    if (arena->buffer != nullptr && arena->is_dynamic) {
        std::free(arena->buffer);
    }
    arena->buffer = nullptr;
    arena->capacity = 0;
    arena->offset = 0;
    arena->is_dynamic = 0;
}
