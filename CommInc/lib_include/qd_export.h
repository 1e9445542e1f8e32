/* The export macros of the system's public headers, installed beside them.
 *
 * Exported functions carry QD_API: the libraries are built with hidden
 * visibility, so only these are visible to users. Nothing crosses the C
 * boundary as an exception, which C++ callers see as QD_NOEXCEPT. A user
 * who defines either macro before including a header keeps their own.
 * Plain C and C++. */
#ifndef QD_EXPORT_H
#define QD_EXPORT_H

#ifndef QD_API
#if defined(__GNUC__)
#define QD_API __attribute__((visibility("default")))
#else
#define QD_API
#endif
#endif

#ifndef QD_NOEXCEPT
#ifdef __cplusplus
#define QD_NOEXCEPT noexcept
#else
#define QD_NOEXCEPT
#endif
#endif

#endif /* QD_EXPORT_H */
