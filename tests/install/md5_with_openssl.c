/* A program that uses OpenSSL's MD5 next to this library's: with
 * QDUPK_NO_MD5_CTX the two MD5_CTX declarations no longer clash, and each
 * library keeps its own context type. Compiled only. */
#define QDUPK_NO_MD5_CTX
#include <libqdupdate.h>
#include <openssl/md5.h>

int digest_twice(const unsigned char* data, unsigned int size, unsigned char* out);

int digest_twice(const unsigned char* data, unsigned int size, unsigned char* out) {
    QDUPK_MD5_CTX ours;
    MD5_CTX* theirs = 0; /* OpenSSL's type; its functions are deprecated */
    libqdupk_MD5Init(&ours);
    libqdupk_MD5Update(&ours, data, size);
    libqdupk_MD5Final(&ours, out);
    return theirs == 0;
}
