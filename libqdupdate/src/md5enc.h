// MD5 digest of the package library. The context type and the exported
// functions live in the public header; this adds the types the digest code
// is written in.
#ifndef QDUPK_MD5ENC_H
#define QDUPK_MD5ENC_H

#include <cstdint>

#include "libqdupdate.h"

using UINT4 = std::uint32_t;
using POINTER = unsigned char*;

#endif  // QDUPK_MD5ENC_H
