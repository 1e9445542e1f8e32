// Option values and the progress texts of the network subcommands.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli_values.h"
#include "progress.h"

namespace qdupk {
namespace {

TEST(CliValues, SecondsArePositiveDecimalsUpToADay) {
    EXPECT_EQ(ParseSeconds("600"), Millis(600000));
    EXPECT_EQ(ParseSeconds("0.25"), Millis(250));
    EXPECT_EQ(ParseSeconds("0.0001"), Millis(1));
    EXPECT_EQ(ParseSeconds("86400"), Millis(86400000));
    for (const char* bad : {"", "0", "0.0", "-1", "1e3", "5s", "86401", " 5", "inf", "nan"}) {
        EXPECT_FALSE(ParseSeconds(bad)) << '"' << bad << '"';
    }
}

TEST(CliValues, HostPortTakesTheLastColon) {
    const std::optional<HostPort> target = ParseHostPort("cam.local:8080");
    ASSERT_TRUE(target);
    EXPECT_EQ(target->host, "cam.local");
    EXPECT_EQ(target->port, 8080);
    EXPECT_EQ(ParseHostPort("10.0.0.1:65535")->port, 65535);
    for (const char* bad : {"10.0.0.1", ":80", "10.0.0.1:", "10.0.0.1:0", "10.0.0.1:65536",
                            "10.0.0.1:80x", "10.0.0.1:+80", "10.0.0.1:000080"}) {
        EXPECT_FALSE(ParseHostPort(bad)) << bad;
    }
}

TEST(Progress, SizesDurationsAndTheBarLine) {
    EXPECT_EQ(FormatBytes(1023), "1023 B");
    EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
    EXPECT_EQ(FormatBytes(std::uint64_t{3} << 30), "3.0 GiB");
    EXPECT_EQ(FormatDuration(std::chrono::seconds(7)), "0:07");
    EXPECT_EQ(FormatDuration(std::chrono::seconds(754)), "12:34");
    EXPECT_EQ(FormatDuration(std::chrono::seconds(3723)), "1:02:03");

    // Half of 2 MiB in 2 s: 512 KiB/s, the other half takes 2 s more.
    EXPECT_EQ(ProgressLine(1 << 20, 2 << 20, 2.0),
              "[############............]  50%  1.0 MiB / 2.0 MiB  512.0 KiB/s  ETA 0:02");
    EXPECT_EQ(ProgressLine(0, 2 << 20, 0.0), "[........................]   0%  0 B / 2.0 MiB");
}

// The sender is sampled, not called at each tenth; a log must still show
// every tenth once, in order, however far apart the samples are.
TEST(Progress, PlainLinesShowEveryTenthInOrder) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        TransferProgress progress(out, false, 1000);
        for (const std::uint64_t sent : {0U, 5U, 349U, 350U, 999U, 1000U}) {
            progress.Sent(sent);
        }
    }
    std::rewind(out);
    std::string lines;
    char line[128];
    while (std::fgets(line, sizeof line, out) != nullptr) {
        lines += line;
    }
    (void)std::fclose(out);
    const auto at = [](int bytes) {
        return "sent " + std::to_string(bytes) + " of 1000 bytes (" + std::to_string(bytes / 10) +
               "%)\n";
    };
    // A skipped tenth at its boundary, the sampled one with its real count.
    const std::string expected = at(0) + at(100) + at(200) + at(349) + at(400) + at(500) + at(600) +
                                 at(700) + at(800) + at(999) + at(1000);
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace qdupk
