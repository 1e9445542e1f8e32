// libubootenv's C interface behind one owner.
#include "uboot_env.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qd_text.h"

// The library's header needs size_t before it is included.
#include <libuboot.h>

UbootEnv::~UbootEnv() {
    // A failed open may still hold the library's lock: closing releases
    // it, and a later open in this process would otherwise wait forever.
    if (tried_) {
        libuboot_close(ctx_);
    }
    if (ctx_ != nullptr) {
        libuboot_exit(ctx_);
    }
}

int UbootEnv::Open(const char* configPath) noexcept {
    if (ctx_ != nullptr) {
        return -EBUSY;
    }
    int result = libuboot_initialize(&ctx_, nullptr);
    if (result < 0) {
        ctx_ = nullptr;
        return result;
    }
    result = libuboot_read_config(ctx_, configPath);
    if (result < 0) {
        return result;
    }
    tried_ = true;
    result = libuboot_open(ctx_);
    open_ = result >= 0;
    return result < 0 ? result : 0;
}

bool UbootEnv::Get(const char* name, char* out, std::size_t size) const noexcept {
    out[0] = '\0';
    if (!open_) {
        return false;
    }
    char* value = libuboot_get_env(ctx_, name);
    if (value == nullptr) {
        return false;
    }
    const bool fits = qd::CopyText(out, size, value);
    std::free(value);
    return fits;
}

int UbootEnv::Set(const char* name, const char* value) noexcept {
    return open_ ? libuboot_set_env(ctx_, name, value) : -EBADF;
}

int UbootEnv::Store() noexcept {
    if (!open_) {
        return -EBADF;
    }
    const int result = libuboot_env_store(ctx_);
    // The library writes through descriptors it closes without a sync on
    // every path; the journal must not be ahead of the flash.
    ::sync();
    return result < 0 ? result : 0;
}

const char* UbootEnvProblem(int result) noexcept {
    if (result == -ENODATA) {
        return "no valid copy (both copies are corrupt or blank)";
    }
    return std::strerror(-result);
}
