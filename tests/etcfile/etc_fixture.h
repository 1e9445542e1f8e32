// A scratch working directory for INI tests (saves put their scratch file
// in the working directory) and a compact way to read one value.
#ifndef ETC_FIXTURE_H
#define ETC_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "etcfile.h"
#include "test_support.h"

class EtcFileTest : public ::testing::Test {
  protected:
    // "rc:value", so a wrong code and a wrong text show in one message. A
    // failed read must leave the buffer alone ("rc:" then).
    static std::string Get(const char* file, const char* section, const char* key,
                           int iLen = 1024) {
        const std::string fresh(static_cast<std::size_t>(iLen) + 1, '@');
        std::string buf = fresh;
        const int rc = EtcGetValueFile(file, section, key, buf.data(), iLen);
        if (rc != 0) {
            return std::to_string(rc) + (buf == fresh ? ":" : ":clobbered");
        }
        return "0:" + buf.substr(0, buf.find('\0'));
    }

    std::string Saved(const std::string& before, const char* section, const char* key,
                      const char* value) {
        qdtest::WriteFile("t.ini", before);
        EXPECT_EQ(EtcSaveValueFile("t.ini", section, key, value), 0);
        EXPECT_FALSE(qdtest::FileExists("etc0.ini"));
        return qdtest::ReadFile("t.ini");
    }

    qdtest::ScratchDir dir_;
    qdtest::ScopedChdir cd_{dir_.path()};
};

#endif  // ETC_FIXTURE_H
