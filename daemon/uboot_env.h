// The boot loader's environment through libubootenv: one owner per open
// environment, so every path closes it and frees the library's context.
#ifndef UBOOT_ENV_H
#define UBOOT_ENV_H

#include <cstddef>

struct uboot_ctx;

class UbootEnv {
  public:
    UbootEnv() = default;
    ~UbootEnv();
    UbootEnv(const UbootEnv&) = delete;
    UbootEnv& operator=(const UbootEnv&) = delete;

    // Reads the environment that the fw_env.config at `configPath` names.
    // 0, or a negative errno: -ENODATA when no copy is valid, what the
    // configuration or the devices gave otherwise.
    int Open(const char* configPath) noexcept;

    // The variable's value into `out`; false when it is not set (out is
    // then empty) or does not fit (out is then cut).
    bool Get(const char* name, char* out, std::size_t size) const noexcept;

    // Changes one variable in memory; null drops it. 0 or a negative errno.
    int Set(const char* name, const char* value) noexcept;

    // Writes every change as one store (the redundant copy not in use is
    // written, then becomes the valid one), then syncs so that it is on
    // the flash before the caller goes on. 0 or a negative errno.
    int Store() noexcept;

  private:
    uboot_ctx* ctx_ = nullptr;
    bool tried_ = false;  // libuboot_open was called
    bool open_ = false;
};

// The reason for a negative result of UbootEnv, to follow "environment
// PATH: " in an error line.
const char* UbootEnvProblem(int result) noexcept;

#endif  // UBOOT_ENV_H
