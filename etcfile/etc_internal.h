// Internals of the INI file library, shared by its reading and writing
// halves. Nothing here is exported from the shared library.
#ifndef ETC_INTERNAL_H
#define ETC_INTERNAL_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>

#include "etc_lines.h"
#include "qd_owners.h"

namespace etcfile {

// Result codes of the public operations and of the internal steps.
constexpr int kEtcOk = 0;
constexpr int kEtcNoFile = -1;
constexpr int kEtcNoSection = -2;
constexpr int kEtcNoKey = -3;
constexpr int kEtcNoScratch = -4;
constexpr int kEtcIoError = -5;

// A line is read in pieces of at most kPieceChars characters: a read of
// kReadSize bytes leaves one for the terminator.
constexpr std::size_t kReadSize = 1024;
constexpr std::size_t kPieceChars = kReadSize - 1;
constexpr std::size_t kLineBufSize = 1025;
constexpr std::size_t kParseBufSize = 1026;
constexpr std::size_t kCopyChunk = 1024;
constexpr std::size_t kTempNameSize = 64;
constexpr int kTempFileTries = 100;

// Reads one piece of a line into buf (at most size - 1 characters, up to and
// including a newline), terminated. Returns its length; 0 at the end of the
// file or on a read error (ferror tells which). Unlike fgets the length
// stays right when the line holds NUL bytes.
std::size_t etc_ReadPiece(std::FILE* fp, char* buf, std::size_t size) noexcept;

// For a section line, the name, terminated in place; otherwise null.
char* get_section_name(char* section_line) noexcept;

// -1 for null, a comment or an empty line; 1 for a section line; 0 for a
// key line, whose key and value are terminated in place and stored in
// *mykey and *myvalue (each when non-null).
int get_key_value(char* key_line, char** mykey, char** myvalue) noexcept;

// Whether a key line (as get_key_value takes it) has the '=' that starts a
// value; a line of a bare word is a key with an empty value to a read.
bool has_key_separator(const char* key_line) noexcept;

// Whether a save may write the text as a section's name, a key or a value:
// a read of the line it makes gives back the same section, key and value,
// and no line of its own starts inside it. No line breaks (CR, LF) in any;
// no ']', ';' or '#' in a section's name; no '=', ';' or '#' in a key, nor
// '[' at its start; no blank or tab at either end of a name or key, and no
// empty key.
bool etc_SavableSection(const char* section) noexcept;
bool etc_SavableKey(const char* key) noexcept;
bool etc_SavableValue(const char* value) noexcept;

// Reads every line of fp from its position to the end, as etc_ForEachLine
// hands them out. 0 at the end or stopped by visit; -5 a read failed.
int etc_WalkLines(std::FILE* fp, EtcLineVisitor visit, void* context) noexcept;

// Opens path for reading, close-on-exec; empty when it cannot be opened.
qd::FilePtr etc_OpenForReading(const char* path) noexcept;

// Whether the piece just read (len characters in piece) is the head of a
// longer line. A piece that fills the read and is followed only by its
// newline takes that newline in (len grows) and counts as whole.
bool etc_PieceContinues(std::FILE* fp, char* piece, std::size_t& len) noexcept;

// Consumes the rest of a long line, copying it into copy_fp when non-null;
// false when a read or the copy failed.
bool etc_PassRestOfLine(std::FILE* fp, std::FILE* copy_fp) noexcept;

// Reads lines up to the header of section pSection, copying each one (the
// header included) unchanged into bak_fp when it is non-null.
// 0 found, -2 end of file, -5 read error or failed copy.
int etc_LocateSection(std::FILE* fp, const char* pSection, std::FILE* bak_fp) noexcept;

// Reads lines up to the first key line of pKey and copies its value into
// pValue (iLen characters, zero-filled) when pValue is non-null. With
// bak_fp, the other key lines are written to it normalised as "key=value";
// comments, empty lines and empty keys are dropped.
// 0 found, -3 a section header was reached (and pushed back), -5 end of
// file, read error or failed copy.
int etc_LocateKeyValue(std::FILE* fp, const char* pKey, char* pValue, int iLen,
                       std::FILE* bak_fp) noexcept;

// Creates the first scratch file "./etc%d.ini" (0 to 99) that opens with
// mode "w+", its name left in szFileName[kTempNameSize]. A name that is the
// same file as pTarget (when non-null) is passed over: opening it would
// empty the file being saved. Empty when none opens.
qd::FilePtr etc_opentempfile(char* szFileName, const struct stat* pTarget) noexcept;

// Closes fpFile (when it holds a file) and removes szFileName in any case,
// unless the name has meanwhile been given to another file.
void etc_closetempfile(qd::FilePtr fpFile, const char* szFileName) noexcept;

// Copies etc_fp into tmp_fp up to the place of pKey in pSection.
// 0 the key's line was consumed; -2 no such section (all copied); -3 no such
// key (the next header, if any, pushed back); -5 a read or write failed.
int etc_CopyAndLocate(std::FILE* etc_fp, std::FILE* tmp_fp, const char* pSection,
                      const char* pKey) noexcept;

// Copies sf from its position to its end into df in chunks.
// 0 done; -5 a read or write failed.
int etc_FileCopy(std::FILE* sf, std::FILE* df) noexcept;

// Writes the whole new content of the file into tmp_fp and flushes it:
// the copy up to the key, the new line(s), the rest. 0, or -5 when any read
// or write failed (tmp_fp then holds no complete copy).
int etc_AssembleCopy(std::FILE* etc_fp, std::FILE* tmp_fp, const char* pSection, const char* pKey,
                     const char* pValue) noexcept;

}  // namespace etcfile

#endif  // ETC_INTERNAL_H
