/*
 * Upgrade package library: verifies a package file as a whole and then hands
 * its items, one file at a time, to an install callback. Also exports the MD5
 * digest that the verification uses. Plain C and C++.
 *
 * Threading: no global state; calls on different files and temporary
 * directories may run at once. Two updates sharing a temporary directory
 * would share its file names, so run one at a time per directory.
 * Output: error and trace lines go to standard output.
 */
#ifndef LIBQDUPDATE_H
#define LIBQDUPDATE_H

#include <stddef.h>
#include <stdint.h>

#include "qd_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Item types. A package may carry any int value: every value of 3 or less is
 * extracted like a flash image, every other value like an application. */
typedef enum {
    QDUPK_ITEM_KERNEL = 1,
    QDUPK_ITEM_ROOTFS = 2,
    QDUPK_ITEM_UBOOT = 3,
    QDUPK_ITEM_BASH = 10,
    QDUPK_ITEM_APP = 11,
    QDUPK_ITEM_FILE = 12,
    QDUPK_ITEM_WEBPAGE = 13,
    QDUPK_ITEM_MCUARM = 20,
    QDUPK_ITEM_FACEMUC = 21,
    QDUPK_ITEM_AUDIOAPP = 30,
    /* Not types: they widen the enumeration to every int a package holds. */
    QDUPK_ITEM_INT_MIN_ = -2147483647 - 1,
    QDUPK_ITEM_INT_MAX_ = 2147483647
} QDUPK_ITEM_TYPE;

/* Results: 0 for success; an update may also return the install callback's
 * own non-zero value unchanged. -1 is never returned by the library. */
enum {
    QDUPKERR_OPENFILE = -2,    /* package file cannot be opened */
    QDUPKERR_INVALIDPKG = -3,  /* a record is short, breaks a rule, or data is short */
    QDUPKERR_DEVID = -4,       /* package is meant for another device */
    QDUPKERR_CRCDATA = -5,     /* an item's data does not have its digest */
    QDUPKERR_COPY = -6,        /* an item's file cannot be created or written */
    QDUPKERR_UNSEALED = -7,    /* unsealed or unsigned where a signature is required */
    QDUPKERR_SEALFORMAT = -8,  /* trailing bytes claim to be a seal but break its rules */
    QDUPKERR_SEALDIGEST = -9,  /* the seal's SHA-256 does not match the package */
    QDUPKERR_UNKNOWNKEY = -10, /* signed by a key that is not among the given ones */
    QDUPKERR_SIGNATURE = -11,  /* the signature does not verify */
    QDUPKERR_ROLLBACK = -12,   /* the seal's counter is lower than the minimum */
    QDUPKERR_WEAKKEY = -13     /* a public key of small order or not in canonical form */
};

/* Install callback: called once per item, in item order, after the whole
 * package has been verified. szFileName is the closed, complete item file:
 * a temporary file, deleted as soon as the callback returns, or the item's
 * destination, which stays. A new file has mode 0755, whatever the umask. A
 * destination that existed keeps its inode, its owner and those bits of
 * 0755 it had (0600 stays 0600 and 0777 becomes 0755; setuid, setgid and
 * sticky bits go), and a script's owner may always execute it; one that is
 * no regular file keeps its mode. Return 0 to go on; any other value
 * stops the update and becomes its result. It must not throw. */
typedef int (*QDUPK_UPDATECB)(const char* szFileName, const char* szDstFileName,
                              QDUPK_ITEM_TYPE emType, const char* szDevID, const char* szDesc,
                              int bRebootFlag);

/* Check callback: asked before an item's file is written (szFileName is the
 * path it would get). Return 0 to extract and install it, anything else to
 * skip it. */
typedef int (*QDUPK_CKECKCB)(const char* szFileName, const char* szDstFileName,
                             QDUPK_ITEM_TYPE emType, const char* szDevID, const char* szDesc);

/* Library version: always 10. */
QD_API int libqdupk_version(void) QD_NOEXCEPT;

/* Reads only the package head. On success fills the three caller buffers (at
 * least 128 bytes each) and returns 0; otherwise QDUPKERR_OPENFILE or
 * QDUPKERR_INVALIDPKG and the buffers are untouched. */
QD_API int libqdupk_pkgversion(const char* szFileName, char* szPkgName, char* szPkgVersion,
                               char* szDevID) QD_NOEXCEPT;

/* Verifies the package for device szDevID (a package for "QUNDAR" suits every
 * device), then extracts and installs every item through fdCallback. Item
 * files without a destination go to szTempDir (at most 113 characters) as
 * "updatetmp.bin" or "updatetmp.sh". Before the first item is written,
 * every item's directory must exist, and every file system written to must
 * be writable and hold the files the package leaves there plus its largest
 * temporary file (an existing file that an item replaces counts as free;
 * items a check callback may decline count too); otherwise the result is
 * QDUPKERR_COPY and nothing is installed. Returns 0, a QDUPKERR_* code, or
 * the callback's non-zero value. Items installed before a later failure (a
 * write error, a callback's result) stay. */
QD_API int libqdupk_update(const char* szFileName, const char* szDevID, const char* szTempDir,
                           QDUPK_UPDATECB fdCallback) QD_NOEXCEPT;

/* As libqdupk_update; fdCheckCb (may be NULL) may decline single items. */
QD_API int libqdupk_updatecheck(const char* szFileName, const char* szDevID, const char* szTempDir,
                                QDUPK_UPDATECB fdCallback, QDUPK_CKECKCB fdCheckCb) QD_NOEXCEPT;

/* A package may carry a seal behind its end record: a SHA-256 of every byte
 * before it, an anti-rollback counter and, when signed, an Ed25519 signature
 * with the id of the key that made it. Trailing bytes that do not begin with
 * the seal's magic are ignored, so readers that know no seals still install
 * a sealed package. */
#define QDUPK_SEAL_SIZE 128  /* bytes of a seal, always the package's last */
#define QDUPK_SHA256_SIZE 32 /* bytes of a SHA-256 digest */
#define QDUPK_KEY_SIZE 32    /* bytes of an Ed25519 public key */
#define QDUPK_KEYID_SIZE 8   /* bytes of a key's id, as a seal names its signer */

typedef enum {
    QDUPK_SEAL_NONE = 0,
    QDUPK_SEAL_UNSIGNED = 1,
    QDUPK_SEAL_SIGNED = 2
} QDUPK_SEAL_STATE;

typedef struct {
    QDUPK_SEAL_STATE emState;
    uint64_t nCounter;                       /* 0 when unsealed */
    unsigned char byKeyId[QDUPK_KEYID_SIZE]; /* all zero unless signed */
    int nKeyIndex; /* which given key verified the signature; -1 when none did */
} QDUPK_SEALINFO_T;

/* Checks the package's records (not its item digests: an update does that)
 * and its seal. pKeys: nKeys Ed25519 public keys of 32 bytes each, back to
 * back (NULL when nKeys is 0). With keys, only a package signed by one of
 * them passes; without, no signature is checked, but a malformed seal or
 * one whose digest does not match is still refused. A counter below
 * nMinCounter is refused (an unsealed package counts as 0). A given key
 * that libqdupk_checkkey refuses verifies nothing, but still counts as
 * given: a package signed by it is refused (QDUPKERR_WEAKKEY). Returns 0,
 * QDUPKERR_OPENFILE, QDUPKERR_INVALIDPKG or one of the seal's codes, with an
 * error line naming the reason; pInfo (may be NULL) is filled as far as the
 * check got, also on failure. Reads the whole file once. */
QD_API int libqdupk_checkseal(const char* szFileName, const unsigned char* pKeys, int nKeys,
                              uint64_t nMinCounter, QDUPK_SEALINFO_T* pInfo) QD_NOEXCEPT;

/* As libqdupk_checkseal, with the SHA-256 of every byte of the file except
 * its last 128 (computed by the caller while it received the file) instead
 * of reading the data again. */
QD_API int libqdupk_checkseal_digest(const char* szFileName, const unsigned char* pPrefixSha256,
                                     const unsigned char* pKeys, int nKeys, uint64_t nMinCounter,
                                     QDUPK_SEALINFO_T* pInfo) QD_NOEXCEPT;

/* Judges an Ed25519 public key (32 bytes) as a signer of seals. 0: seals
 * signed by it can be verified. QDUPKERR_WEAKKEY: it is one of the points of
 * small order or not in canonical form; anyone could make signatures that
 * such a key would verify, so the seal checks never accept one by it
 * (they refuse it with QDUPKERR_WEAKKEY). pKeyId (may be NULL) receives
 * the key's 8-byte id, as a seal names its signer, in either case.
 * QDUPKERR_OPENFILE for a NULL pKey. Prints nothing. */
QD_API int libqdupk_checkkey(const unsigned char* pKey, unsigned char* pKeyId) QD_NOEXCEPT;

/* Streaming SHA-256 (FIPS 180-4), as the seals use it. The context is
 * opaque and belongs to the caller, who frees it; contexts share nothing,
 * so different threads may each use their own.
 *
 * create: a fresh context, or NULL when none can be made (out of memory, or
 * the cryptographic library has no SHA-256).
 * update: appends nLen bytes (pData may be NULL when nLen is 0). 0, or
 * QDUPKERR_OPENFILE for a NULL context or data, and QDUPKERR_CRCDATA when
 * the digest cannot be computed; after that every later call fails too.
 * final: writes the QDUPK_SHA256_SIZE-byte digest of everything appended so
 * far to pDigest. The context stays usable: further updates extend the same
 * message, so digests of a message and of a longer one that begins with it
 * cost one pass. 0, or as update (QDUPKERR_OPENFILE for a NULL pDigest).
 * free: releases the context; NULL is ignored. */
typedef struct QDUPK_SHA256_CTX QDUPK_SHA256_CTX;

QD_API QDUPK_SHA256_CTX* libqdupk_sha256_create(void) QD_NOEXCEPT;
QD_API int libqdupk_sha256_update(QDUPK_SHA256_CTX* pCtx, const void* pData,
                                  size_t nLen) QD_NOEXCEPT;
QD_API int libqdupk_sha256_final(QDUPK_SHA256_CTX* pCtx, unsigned char* pDigest) QD_NOEXCEPT;
QD_API void libqdupk_sha256_free(QDUPK_SHA256_CTX* pCtx) QD_NOEXCEPT;

/* MD5 (RFC 1321). The context belongs to the caller: Init, Update any number
 * of times, Final once; Init again before the next message.
 *
 * The context is also declared as MD5_CTX, the name existing callers use.
 * OpenSSL's <openssl/md5.h> declares another MD5_CTX: a program that
 * includes both defines QDUPK_NO_MD5_CTX before including this header and
 * names this library's context QDUPK_MD5_CTX. */
typedef struct QDUPK_MD5_CTX {
    uint32_t state[4];        /* chaining words A, B, C, D */
    uint32_t count[2];        /* message bits so far, mod 2^64; count[0] is the low word */
    unsigned char buffer[64]; /* bytes not yet transformed */
} QDUPK_MD5_CTX;
#ifndef QDUPK_NO_MD5_CTX
typedef QDUPK_MD5_CTX MD5_CTX;
#endif

QD_API void libqdupk_MD5Init(QDUPK_MD5_CTX* context) QD_NOEXCEPT;
QD_API void libqdupk_MD5Update(QDUPK_MD5_CTX* context, const unsigned char* input,
                               unsigned int inputLen) QD_NOEXCEPT;
/* Pads, writes the 16-byte digest and leaves the context to be re-initialised. */
QD_API void libqdupk_MD5Final(QDUPK_MD5_CTX* context, unsigned char* digest) QD_NOEXCEPT;
/* Digest of the string's bytes without its terminator. */
QD_API void libqdupk_MD5MakeString(const char* szInput, unsigned char* digest) QD_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* LIBQDUPDATE_H */
