/* Symbol visibility of the companion library's C interface. */
#ifndef VEL_CORE_EXPORT_H
#define VEL_CORE_EXPORT_H

#ifdef __cplusplus
#define VEL_EXTERN_C extern "C"
#else
#define VEL_EXTERN_C
#endif

#if defined(VEL_CORE_BUILDING)
#define VEL_CORE_API VEL_EXTERN_C __attribute__((visibility("default")))
#else
#define VEL_CORE_API VEL_EXTERN_C
#endif

#endif
