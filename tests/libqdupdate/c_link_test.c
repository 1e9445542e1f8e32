/* A plain C program linked with the C compiler alone against libqdupdate.a:
 * proves the library needs no C++ runtime and its header is valid C. */
#include <stdio.h>
#include <string.h>

#include "libqdupdate.h"

static int Install(const char* path, const char* dst, QDUPK_ITEM_TYPE type, const char* devId,
                   const char* desc, int reboot) {
    (void)path, (void)dst, (void)type, (void)devId, (void)desc, (void)reboot;
    return 0;
}

int main(void) {
    static const unsigned char kAbc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                           0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    unsigned char digest[16];
    libqdupk_MD5MakeString("abc", digest);
    if (memcmp(digest, kAbc, sizeof digest) != 0) {
        fputs("wrong MD5 of \"abc\"\n", stderr);
        return 1;
    }
    if (libqdupk_version() != 10) {
        fputs("wrong library version\n", stderr);
        return 1;
    }
    if (libqdupk_update("/nonexistent/package.upg", "IPC-1", "/tmp", Install) !=
        QDUPKERR_OPENFILE) {
        fputs("a missing package was not refused\n", stderr);
        return 1;
    }
    QDUPK_SEALINFO_T info;
    if (libqdupk_checkseal("/nonexistent/package.upg", NULL, 0, 0, &info) != QDUPKERR_OPENFILE ||
        info.emState != QDUPK_SEAL_NONE || info.nKeyIndex != -1) {
        fputs("a missing package's seal was not refused\n", stderr);
        return 1;
    }
    static const unsigned char kSha256Abc[QDUPK_SHA256_SIZE] = {
        0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
        0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
        0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    unsigned char sha256[QDUPK_SHA256_SIZE];
    QDUPK_SHA256_CTX* ctx = libqdupk_sha256_create();
    const int hashed = ctx != NULL && libqdupk_sha256_update(ctx, "abc", 3) == 0 &&
                       libqdupk_sha256_final(ctx, sha256) == 0;
    libqdupk_sha256_free(ctx);
    if (!hashed || memcmp(sha256, kSha256Abc, sizeof sha256) != 0) {
        fputs("wrong SHA-256 of \"abc\"\n", stderr);
        return 1;
    }
    static const unsigned char kPlaceholderKey[QDUPK_KEY_SIZE];
    if (libqdupk_checkkey(kPlaceholderKey, NULL) != QDUPKERR_WEAKKEY) {
        fputs("an all-zero public key was not refused\n", stderr);
        return 1;
    }
    return 0;
}
