#include "test_timing.h"

#include <cstdlib>
#include <initializer_list>

// Generated at configure time: the emulator's words, nothing when native.
#include "qd_test_emulator.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QD_TEST_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define QD_TEST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QD_TEST_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define QD_TEST_TSAN 1
#endif

namespace qdtest {

namespace {

// Rough slow-downs seen on the suite; generous, since a ceiling only ends
// a hang and never makes a test pass that should fail.
int BuiltScale() {
    int scale = 1;
#if defined(QD_TEST_TSAN)
    scale = 5;
#elif defined(QD_TEST_ASAN)
    scale = 3;
#endif
    if (std::initializer_list<const char*>{QD_TEST_EMULATOR_WORDS}.size() > 0) {
        scale *= 4;
    }
    return scale;
}

int ScaleFromEnvironment() {
    const char* text = std::getenv("QD_TEST_TIME_SCALE");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && value > 0 && value <= 100 ? static_cast<int>(value) : 0;
}

}  // namespace

int TimeScale() {
    static const int scale = [] {
        const int fromEnvironment = ScaleFromEnvironment();
        return fromEnvironment > 0 ? fromEnvironment : BuiltScale();
    }();
    return scale;
}

}  // namespace qdtest
