// A redundant boot loader environment as two full-size plain files, made
// and read with the U-Boot environment tools, as the rig keeps it.
#ifndef QD_TEST_BOOT_ENV_FIXTURE_H
#define QD_TEST_BOOT_ENV_FIXTURE_H

#include <map>
#include <string>

#include "qdboot_config_bootenv.h"

namespace qdtest {

class FileBackedEnv {
  public:
    // Both copies made by mkenvimage -r from `vars` ("name=value" lines),
    // and a fw_env.config naming them, in `dir`.
    explicit FileBackedEnv(const std::string& dir, const std::string& vars = "");

    const std::string& config() const { return config_; }
    // [bootenv] settings that keep the journal here, the running slot read
    // from the file `cmdline`; health timeout at its default.
    BootenvConfig Settings(const std::string& cmdline) const;
    std::string copy(int i) const { return copies_[i]; }

    // Every variable as fw_printenv shows it.
    std::map<std::string, std::string> Vars() const;
    // One variable, or "<unset>".
    std::string Var(const std::string& name) const;
    // fw_setenv -s with `script` ("name=value" lines; "name=" drops it): one store.
    void Set(const std::string& script) const;
    // Both copies' bytes, to see that nothing was stored.
    std::string Bytes() const;

  private:
    std::string dir_;
    std::string config_;
    std::string copies_[2];
};

}  // namespace qdtest

#endif  // QD_TEST_BOOT_ENV_FIXTURE_H
