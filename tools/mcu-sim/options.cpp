#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mcusim {

namespace {

const char kUsage[] =
    "Usage: mcu-sim [options]\n"
    "Plays the dome MCU's firmware loader on a new pseudo-terminal. The slave\n"
    "path is printed as the first line of standard output; point the MCU\n"
    "updater (the daemon's uart_arm) at it.\n"
    "\n"
    "  --path-file FILE   also write the slave path to FILE (written whole)\n"
    "  --image FILE       store each received image (announced size, without\n"
    "                     the 0x1A fill) in FILE when the end request comes\n"
    "  --log FILE         frame log instead of standard output: one line per\n"
    "                     event, '<seconds> RX|TX <hex bytes>' or '<seconds> # note'\n"
    "  --once             exit after one transfer (end request answered or\n"
    "                     abort sent); default: serve until SIGTERM/SIGINT\n"
    "Faults:\n"
    "  --mute             never answer any frame\n"
    "  --refuse-header    answer the image header with FB 00\n"
    "  --abort-block K    answer data block K (1-based sequence) with F9\n"
    "  --stray-byte       send one stray byte (0x55) before each reply\n"
    "  --bad-checksum     send replies with a wrong checksum\n"
    "  --delay-ms N       wait N ms before each reply (a slow loader)\n"
    "  --status N         status byte of the F6/F7 replies (default 0)\n"
    "  --help             show this text\n";

bool ParseInt(const char* text, int low, int high, int* value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 0);
    if (end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

// Options that take a value; false when the value is missing or malformed.
bool TakeValue(const char* name, const char* value, SimOptions* opt) {
    int number = 0;
    if (std::strcmp(name, "--path-file") == 0) {
        opt->pathFile = value;
    } else if (std::strcmp(name, "--image") == 0) {
        opt->imagePath = value;
    } else if (std::strcmp(name, "--log") == 0) {
        opt->logPath = value;
    } else if (std::strcmp(name, "--abort-block") == 0 && ParseInt(value, 1, 65535, &number)) {
        opt->faults.abortBlock = number;
    } else if (std::strcmp(name, "--delay-ms") == 0 && ParseInt(value, 0, 600000, &number)) {
        opt->delayMs = number;
    } else if (std::strcmp(name, "--status") == 0 && ParseInt(value, 0, 255, &number)) {
        opt->faults.status = static_cast<std::uint8_t>(number);
    } else {
        return false;
    }
    return true;
}

bool TakeFlag(const char* name, SimOptions* opt) {
    struct Flag {
        const char* name;
        bool* target;
    };
    const Flag flags[] = {
        {"--once", &opt->once},
        {"--mute", &opt->faults.mute},
        {"--refuse-header", &opt->faults.refuseHeader},
        {"--stray-byte", &opt->faults.strayByte},
        {"--bad-checksum", &opt->faults.badChecksum},
    };
    for (const Flag& flag : flags) {
        if (std::strcmp(name, flag.name) == 0) {
            *flag.target = true;
            return true;
        }
    }
    return false;
}

}  // namespace

int ParseOptions(int argc, char** argv, SimOptions* opt) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0) {
            (void)std::fputs(kUsage, stdout);
            return 0;
        }
        if (TakeFlag(arg, opt)) {
            continue;
        }
        if (i + 1 < argc && TakeValue(arg, argv[i + 1], opt)) {
            ++i;
            continue;
        }
        (void)std::fprintf(stderr, "mcu-sim: bad option or value: %s\n%s", arg, kUsage);
        return 2;
    }
    return -1;
}

}  // namespace mcusim
