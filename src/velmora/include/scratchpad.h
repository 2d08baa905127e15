/* Per-request bump allocator of the companion library.
 *
 * An arena is one heap block handed out front to back and rewound, never
 * shrunk, between uses.  When a request needs more than the block holds, the
 * allocation fails with VEL_ERR_ARENA_EXHAUSTED and the caller falls back to
 * ordinary memory; earlier pointers stay valid because the block never moves.
 * `is_dynamic` is 1 when the block was taken from the heap by scratchpad_init
 * and is released by scratchpad_destroy.
 */
#ifndef VEL_SCRATCHPAD_H
#define VEL_SCRATCHPAD_H

#include <stddef.h>
#include "vel_core_export.h"

typedef enum vel_err {
    VEL_OK = 0,
    VEL_ERR_NOMEM = 1,
    VEL_ERR_BAD_ARG = 2,
    VEL_ERR_OVERFLOW = 3,
    VEL_ERR_SIMD_UNSUPPORTED = 4,
    VEL_ERR_ARENA_EXHAUSTED = 5,
    VEL_ERR_PARSE_FAILED = 6,
    VEL_ERR_NOT_FOUND = 7,
} vel_err;

typedef struct ScratchpadArena {
    unsigned char *buffer;
    size_t capacity;
    size_t offset;
    int is_dynamic;
} ScratchpadArena;

/* Largest alignment scratchpad_alloc accepts. */
#define VEL_SCRATCHPAD_MAX_ALIGNMENT 4096

/* Takes a block of `capacity` bytes for the arena.  An arena that already
 * holds a block releases it first. */
VEL_CORE_API vel_err scratchpad_init(ScratchpadArena *arena, size_t capacity);

/* Hands out `size` bytes aligned to `alignment` (a power of two up to
 * VEL_SCRATCHPAD_MAX_ALIGNMENT).  *out is written only on VEL_OK. */
VEL_CORE_API vel_err scratchpad_alloc(ScratchpadArena *arena, size_t size,
                                      size_t alignment, void **out);

/* Releases the block; the arena may be initialised again afterwards. */
VEL_CORE_API void scratchpad_destroy(ScratchpadArena *arena);

/* Rewinds the arena, keeping its block for the next use. */
static inline void scratchpad_reset(ScratchpadArena *arena)
{
    if (arena != NULL && arena->buffer != NULL) {
        arena->offset = 0;
    }
}

#endif
