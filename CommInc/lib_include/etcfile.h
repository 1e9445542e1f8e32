/*
 * INI file library: `key=value` entries under `[section]` header lines.
 *
 * Every call opens the file, reads it from its first line and closes it
 * before returning; nothing is cached and nothing is allocated on the heap.
 * The functions keep no shared state and may be called from any thread.
 * Every descriptor the library opens is close-on-exec.
 *
 * Lines: a line is read in pieces of at most 1023 characters. A longer line
 * still counts as one line, classified by its first 1023 characters (a key
 * line gives that part of its value); the rest of it is never taken for a
 * line of its own, by reads and saves alike. Saves keep such lines whole.
 *
 * Locking: a save holds flock(LOCK_EX) on the file from before it reads it
 * until its new content is written back, so saves of one file from any
 * threads or processes, in any working directories, follow one another and
 * lose no entry. Reads take no lock: a read that runs during a save may see
 * the file partly rewritten. Where the file system has no flock the save
 * goes on unlocked.
 *

 * Plain C and C++ can include this header.
 */
#ifndef ETCFILE_H
#define ETCFILE_H

#include "qd_export.h"

#ifdef __cplusplus
extern "C" {
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
QD_API int EtcGetValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                           char* pValue, int iLen) QD_NOEXCEPT;

/*
 * Reads the value as text (at most 50 characters) and converts it like
 * strtol with base 0 (0x... hexadecimal, 0... octal); text without digits
 * gives 0. The low 32 bits are stored in *value.
 * Results: as EtcGetValueFile; *value is changed only on success.
 */
QD_API int EtcGetIntValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                              int* value) QD_NOEXCEPT;

/*
 * Sets pKey to pValue in section pSection of the file pEtcFile: the key's
 * first line in the section's first occurrence is replaced, a missing key is
 * added at the end of its section, a missing section is appended, and a
 * missing file is created. Key and value are written as given. Texts that a
 * read would not give back as given, or that would start a line of their
 * own, are refused (-5) before the file is opened, leaving it (or its
 * absence) as it was:
 *  - a section, key or value holding a carriage return or newline (a value
 *    "cam\n[seal]" would add a section);
 *  - a section holding ']', ';' or '#', or with a blank or tab at its start
 *    or end;
 *  - a key that is empty, holds '=', ';' or '#', starts with '[', or has a
 *    blank or tab at its start or end;
 *  - a key line "key=value" or a new section header "[section]" longer than
 *    1023 characters, which a read could not give back whole.
 * The texts are C strings, so none can hold a NUL. A value ending in a
 * blank, tab or backspace is saved, but a read takes that last character
 * off (see EtcGetValueFile).
 * The file is assembled in a scratch file "./etc<n>.ini" in the working
 * directory (created afresh: whatever stands under that name, a link
 * included, is removed, never written through) and then written back over
 * the same file, which keeps its inode, owner and mode (it may be a bind
 * mount or have other links). Room for a longer content is reserved first
 * with fallocate, so a save that runs out of space fails with -5 and leaves
 * the file byte for byte as it was. File systems that cannot reserve room
 * (fallocate gives EOPNOTSUPP, as on UBIFS and JFFS2) are written back
 * without it: there a full disk can still leave the file incomplete, and the
 * result (-5, with an error line) says so.
 * Results: 0 written; -4 no scratch file could be created; -5 a text is
 * refused (above), the file could not be opened or created or is no regular
 * file, could not be read completely, has no room, or a write failed. Every
 * failure before the write back leaves the file unchanged.
 */
QD_API int EtcSaveValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                            const char* pValue) QD_NOEXCEPT;

/* Saves Value as signed decimal text; results as EtcSaveValueFile. */
QD_API int EtcSaveIntValueFile(const char* pEtcFile, const char* pSection, const char* pKey,
                               int Value) QD_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ETCFILE_H */
