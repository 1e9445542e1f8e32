/*
 * INI file library: `key=value` entries under `[section]` header lines.
 *
 * Every call opens the file, reads it from its first line and closes it
 * before returning; nothing is cached and nothing is allocated on the heap.
 * The functions keep no shared state and may be called from any thread, but
 * nothing coordinates a reader with a writer of the same file, and two saves
 * in the same working directory must not run at the same time (they share
 * the scratch file name "./etc0.ini").
 *
 * Plain C and C++ can include this header.
 */
#ifndef ETCFILE_H
#define ETCFILE_H

#if defined(__GNUC__)
#define ETCFILE_API __attribute__((visibility("default")))
#else
#define ETCFILE_API
#endif

#ifdef __cplusplus
#define ETCFILE_NOEXCEPT noexcept
extern "C" {
#else
#define ETCFILE_NOEXCEPT
#endif

/*
 * Reads the value of pKey in section pSection of the file pEtcFile into
 * pValue. A null pSection looks among the lines above the first section
 * header. At most iLen characters are returned; pValue must hold iLen + 1
 * bytes. One trailing carriage return, newline, tab, backspace or blank is
 * removed from the returned text.
 * Results: 0 found; -1 the file cannot be opened; -2 no such section;
 * -3 no such key in the section. pValue is changed only on success.
 */
ETCFILE_API int EtcGetValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                                char* pValue, int iLen) ETCFILE_NOEXCEPT;

/*
 * Reads the value as text (at most 50 characters) and converts it like
 * strtol with base 0 (0x... hexadecimal, 0... octal); text without digits
 * gives 0. The low 32 bits are stored in *value.
 * Results: as EtcGetValueFile; *value is changed only on success.
 */
ETCFILE_API int EtcGetIntValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                                   int* value) ETCFILE_NOEXCEPT;

/*
 * Sets pKey to pValue in section pSection of the file pEtcFile: the key's
 * first line in the section's first occurrence is replaced, a missing key is
 * added at the end of its section, a missing section is appended, and a
 * missing file is created. Key and value are written as given. The file is
 * assembled in a scratch file "./etc<n>.ini" in the working directory and
 * then copied back into the same file, which keeps its owner and mode.
 * Results: 0 written; -4 no scratch file could be created; -5 the file could
 * not be opened or created, could not be read completely, or a write
 * failed. Every failure before the copy back leaves the file unchanged.
 */
ETCFILE_API int EtcSaveValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                                 const char* pValue) ETCFILE_NOEXCEPT;

/* Saves Value as signed decimal text; results as EtcSaveValueFile. */
ETCFILE_API int EtcSaveIntValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                                    int Value) ETCFILE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ETCFILE_H */
