/* ASCII case helpers of the companion library, vectorised where the CPU
 * allows and equal byte for byte to the plain definitions everywhere. */
#ifndef VEL_SIMD_OPS_H
#define VEL_SIMD_OPS_H

#include <stddef.h>
#include "vel_core_export.h"

/* Non-zero when none of the `length` bytes lies in 'A'..'Z'. */
VEL_CORE_API int simd_is_ascii_lowercase(const char *data, size_t length);

/* Writes `src` to `dst` with 'A'..'Z' mapped to 'a'..'z'; every other byte
 * is copied unchanged.  The buffers must not overlap. */
VEL_CORE_API void simd_lowercase_ascii(const char *src, char *dst, size_t length);

#endif
