// The upload handler and its timed socket I/O on a socket pair, with the
// temporary directory in a scratch directory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "libqdupdate.h"
#include "package_writer.h"
#include "qd_bytes.h"
#include "qd_owners.h"
#include "qd_text.h"
#include "qd_wire.h"
#include "qdboot_config.h"
#include "sealed_package.h"
#include "service_loop.h"
#include "test_support.h"
#include "timed_socket.h"
#include "upload.h"

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;
using qdtest::FileExists;

std::string Header(std::uint32_t magic, std::uint32_t length) {
    unsigned char bytes[8];
    qd::StoreBe32(bytes, magic);
    qd::StoreBe32(bytes + 4, length);
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

std::string Framed(const std::string& package) {
    return Header(qd::kUploadMagic, static_cast<std::uint32_t>(package.size())) + package;
}

// What the PC side does: send in pieces with pauses, then close or stay.
struct Peer {
    std::string bytes;
    std::size_t piece = std::string::npos;
    Millis pause{0};
    bool closeAfter = false;
};

class Upload : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(qd::CopyText(cfg_.szTmpDir, tmp_.path().c_str()));
        Reconnect();
    }

    void Reconnect() {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        device_.reset(fds[0]);
        pc_.reset(fds[1]);
        socket_nonblock(device_.get());
    }

    void Send(const Peer& peer) {
        for (std::size_t at = 0; at < peer.bytes.size(); at += peer.piece) {
            const std::string piece = peer.bytes.substr(at, peer.piece);
            if (send(pc_.get(), piece.data(), piece.size(), MSG_NOSIGNAL) < 0) {
                return;
            }
            std::this_thread::sleep_for(peer.pause);  // the slow peer itself
        }
        if (peer.closeAfter) {
            shutdown(pc_.get(), SHUT_WR);
        }
    }

    int Run(const Peer& peer) {
        std::thread pc([&] { Send(peer); });
        int result = 0;
        {
            qdtest::StdoutCapture quiet;
            last_ = RunUpload(device_.get(), cfg_, seal_, nullptr);
            stage_ = last_.stage;
            result = last_.code;
            log_ = quiet.Finish();
        }
        shutdown(device_.get(), SHUT_RDWR);  // a sender still blocked gives up
        pc.join();
        return result;
    }

    std::string Received() const { return tmp_.file("qboot.upg"); }

    // `key` in the slot, as LoadSealConfig leaves a usable one.
    void UseKey(int slot, const std::string& key, SealKeySlot state = SealKeySlot::kUsable) {
        seal_.emSlots[slot] = state;
        key.copy(reinterpret_cast<char*>(seal_.byKeys) + slot * int{QDUPK_KEY_SIZE},
                 QDUPK_KEY_SIZE);
    }

    QDBOOT_CFG_T cfg_{};
    SealConfig seal_{};
    UploadStage stage_ = UploadStage::kNone;  // of the last Run
    UploadResult last_;
    std::string log_;  // what the last upload printed
    qdtest::ScratchDir tmp_;
    qd::UniqueFd device_, pc_;
};

qdupk::PackagePlan FilePackage(const std::string& dst, const std::string& data) {
    const qdupk::ItemPlan item = qdupk::DataItem(QDUPK_ITEM_FILE, data, dst);
    // Another device's identifier: the handler checks against the package's own.
    return qdupk::PackagePlan{"pkg", "1.0", "SOME-OTHER-DEVICE", {item}};
}

TEST_F(Upload, PackageIsInstalledAndTheReceivedFileRemoved) {
    const std::string large(3 * 4096 + 123, 'L');
    EXPECT_EQ(Run({Framed(qdupk::BuildPackage(FilePackage(tmp_.file("large"), large)))}), 0);
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("large")), large);
    EXPECT_FALSE(FileExists(Received()));

    // Many small pieces with pauses, splitting header and records anywhere.
    Reconnect();
    const std::string package = qdupk::BuildPackage(FilePackage(tmp_.file("small"), "small"));
    EXPECT_EQ(Run({Framed(package), 37, Millis(15)}), 0);
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("small")), "small");
    EXPECT_FALSE(FileExists(Received()));
}

// Received chunks are gathered into larger writes: pieces that straddle
// chunks and blocks, and a last block that is not full, arrive intact.
TEST_F(Upload, PackageOfManyWriteBlocksArrivesByteForByte) {
    std::string data(5 * 65536 + 777, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 7919) >> 3);
    }
    const std::string package = qdupk::BuildPackage(FilePackage(tmp_.file("blocks"), data));
    EXPECT_EQ(Run({Framed(package), 3001}), 0);
    EXPECT_TRUE(qdtest::ReadFile(tmp_.file("blocks")) == data);
    EXPECT_FALSE(FileExists(Received()));
}

TEST_F(Upload, RefusedHeadersTouchNoFile) {
    qdtest::WriteFile(Received(), "older");
    const std::string body(64, 'x');
    const std::string refused[] = {
        Header(0xAACCDD04, 64) + body,
        std::string("\x03\xDD\xCC\xAA", 4) + Header(0, 64).substr(4) + body,
        Header(qd::kUploadMagic, 0) + body,
        Header(qd::kUploadMagic, 0x80000000U) + body,
    };
    for (const std::string& bytes : refused) {
        Reconnect();
        EXPECT_EQ(Run({bytes}), -1);
        EXPECT_EQ(qdtest::ReadFile(Received()), "older");
    }
    Reconnect();
    EXPECT_EQ(Run({Header(qd::kUploadMagic, 64).substr(0, 5), std::string::npos, Millis(0), true}),
              -1);
    EXPECT_EQ(qdtest::ReadFile(Received()), "older");
}

TEST_F(Upload, BadPackagesFailAndLeaveNoFile) {
    EXPECT_EQ(Run({Framed(std::string(600, 'g'))}), -1);
    EXPECT_FALSE(FileExists(Received()));

    Reconnect();
    std::string package = qdupk::BuildPackage(FilePackage(tmp_.file("never"), "data"));
    package[package.size() - 41] ^= 0x01;  // last data byte, before the end record
    EXPECT_EQ(Run({Framed(package)}), QDUPKERR_CRCDATA);
    EXPECT_FALSE(FileExists(tmp_.file("never")));
    EXPECT_FALSE(FileExists(Received()));
}

// The digest is taken in the receive loop: pieces that split the seal, and
// a package of several write blocks, must give the digest of exactly the
// bytes before the seal.
TEST_F(Upload, SealIsCheckedWithTheDigestTakenWhileReceiving) {
    const qdtest::TestSigningKey key;
    UseKey(0, key.PublicKey());
    std::string data(3 * 65536 + 100, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 7919) >> 3);
    }
    const std::string large = qdupk::BuildPackage(FilePackage(tmp_.file("large"), data));
    EXPECT_EQ(Run({Framed(qdtest::Sealed(large, 1, &key)), 3001}), 0);
    EXPECT_TRUE(qdtest::ReadFile(tmp_.file("large")) == data);

    Reconnect();
    const std::string small = qdupk::BuildPackage(FilePackage(tmp_.file("small"), "small"));
    EXPECT_EQ(Run({Framed(qdtest::Sealed(small, 1, &key)), 37}), 0);
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("small")), "small");

    Reconnect();
    EXPECT_EQ(Run({Framed(small)}), QDUPKERR_UNSEALED);
    Reconnect();
    // Another destination of the same length behind the original's seal.
    const std::string original = qdupk::BuildPackage(FilePackage(tmp_.file("never"), "data"));
    const std::string damaged = qdupk::BuildPackage(FilePackage(tmp_.file("Never"), "data")) +
                                qdtest::Sealed(original, 1, &key).substr(original.size());
    EXPECT_EQ(Run({Framed(damaged)}), QDUPKERR_SEALDIGEST);
    EXPECT_FALSE(FileExists(tmp_.file("never")));
    EXPECT_FALSE(FileExists(tmp_.file("Never")));
    EXPECT_FALSE(FileExists(Received()));
}

// The counter is stored before the first install effect; where it cannot
// be stored, or read, nothing is installed.
TEST_F(Upload, CounterThatCannotBeStoredOrReadInstallsNothing) {
    const qdtest::TestSigningKey key;
    UseKey(1, key.PublicKey());
    const std::string package =
        qdtest::Sealed(qdupk::BuildPackage(FilePackage(tmp_.file("item"), "data")), 2, &key);
    ASSERT_TRUE(qd::CopyText(seal_.szCounterFile, tmp_.file("missing/counter").c_str()));
    EXPECT_EQ(Run({Framed(package)}), -1);
    EXPECT_FALSE(FileExists(tmp_.file("item")));

    Reconnect();
    ASSERT_TRUE(qd::CopyText(seal_.szCounterFile, tmp_.file("counter").c_str()));
    qdtest::WriteFile(tmp_.file("counter"), "1");
    EXPECT_EQ(Run({Framed(package)}), -1);
    EXPECT_FALSE(FileExists(tmp_.file("item")));
    EXPECT_FALSE(FileExists(Received()));

    // Readable, but its replacement cannot be written: every item declined.
    Reconnect();
    qdtest::WriteFile(tmp_.file("counter"), "1\n");
    ASSERT_EQ(mkdir(tmp_.file("counter.tmp").c_str(), 0700), 0);
    qdtest::WriteFile(tmp_.file("counter.tmp/x"), "");
    EXPECT_EQ(Run({Framed(package)}), -1);
    EXPECT_FALSE(FileExists(tmp_.file("item")));
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("counter")), "1\n");
    std::filesystem::remove_all(tmp_.file("counter.tmp"));

    Reconnect();
    EXPECT_EQ(Run({Framed(package)}), 0);
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("counter")), "2\n");
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("item")), "data");
}

// A signed package that the verification pass or the room check refuses
// installs nothing, and so must not raise the counter: the next real
// release, with a lower counter, would be refused as a rollback.
TEST_F(Upload, APackageRefusedAfterItsSealLeavesTheCounterAlone) {
    const qdtest::TestSigningKey key;
    UseKey(0, key.PublicKey());
    ASSERT_TRUE(qd::CopyText(seal_.szCounterFile, tmp_.file("counter").c_str()));
    qdtest::WriteFile(tmp_.file("counter"), "20\n");

    std::string damaged = qdupk::BuildPackage(FilePackage(tmp_.file("never"), "data"));
    damaged[damaged.size() - 41] ^= 0x01;  // the item's data no longer has its MD5
    EXPECT_EQ(Run({Framed(qdtest::Sealed(damaged, 1000, &key))}), QDUPKERR_CRCDATA);
    Reconnect();
    const std::string nowhere = qdupk::BuildPackage(FilePackage(tmp_.file("no/dir/x"), "data"));
    EXPECT_EQ(Run({Framed(qdtest::Sealed(nowhere, 1000, &key))}), QDUPKERR_COPY);
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("counter")), "20\n");
    EXPECT_FALSE(FileExists(tmp_.file("never")));

    Reconnect();
    EXPECT_EQ(Run({Framed(qdtest::Sealed(
                  qdupk::BuildPackage(FilePackage(tmp_.file("real"), "data")), 21, &key))}),
              0);
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("counter")), "21\n");
}

// A slip in the seal settings, or keys of which none can verify, refuses
// every upload before a byte of it is taken; a key that takes nothing
// leaves the other slot working.
TEST_F(Upload, SealSettingsThatTakeNothingRefuseUploadsUnread) {
    const qdtest::TestSigningKey key;
    const std::string neutral = std::string(1, '\x01') + std::string(QDUPK_KEY_SIZE - 1, '\0');
    const std::string forged = std::string(1, '\x01') + std::string(63, '\0');  // R neutral, S 0
    const std::string plain = qdupk::BuildPackage(FilePackage(tmp_.file("item"), "data"));
    ASSERT_TRUE(qd::CopyText(seal_.szSlip, "unknown key \"Key1\" in [seal]"));
    EXPECT_EQ(Run({Framed(plain)}), -1);
    EXPECT_FALSE(FileExists(Received())) << "refused before the package was received";

    seal_ = SealConfig{};
    UseKey(0, neutral, SealKeySlot::kWeak);
    for (const std::string& package :
         {plain, qdtest::Sealed(plain, 1), qdtest::SealedAs(plain, 1, neutral, forged)}) {
        Reconnect();
        EXPECT_EQ(Run({Framed(package)}), -1);
        EXPECT_FALSE(FileExists(Received()));
    }
    UseKey(1, key.PublicKey());
    Reconnect();
    EXPECT_EQ(Run({Framed(qdtest::SealedAs(plain, 1, neutral, forged))}), QDUPKERR_WEAKKEY);
    Reconnect();
    EXPECT_EQ(Run({Framed(plain)}), QDUPKERR_UNSEALED);
    EXPECT_FALSE(FileExists(tmp_.file("item")));
    Reconnect();
    EXPECT_EQ(Run({Framed(qdtest::Sealed(plain, 1, &key))}), 0);
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("item")), "data");
}

// Besides its code, an upload's result names the stage that stopped it.
TEST_F(Upload, EachFailureNamesItsStage) {
    const std::string plain = qdupk::BuildPackage(FilePackage(tmp_.file("item"), "data"));
    EXPECT_EQ(Run({Header(qd::kUploadMagic + 1, 4)}), -1);
    EXPECT_EQ(stage_, UploadStage::kReceive);
    Reconnect();
    std::string damaged = plain;
    damaged[damaged.size() - 41] ^= 0x01;
    EXPECT_EQ(Run({Framed(damaged)}), QDUPKERR_CRCDATA);
    EXPECT_EQ(stage_, UploadStage::kVerify);
    Reconnect();
    EXPECT_EQ(Run({Framed(std::string(600, 'g'))}), -1);
    EXPECT_EQ(stage_, UploadStage::kVerify);
    Reconnect();
    const std::string nowhere = qdupk::BuildPackage(FilePackage(tmp_.file("no/dir/x"), "data"));
    EXPECT_EQ(Run({Framed(nowhere)}), QDUPKERR_COPY);
    EXPECT_EQ(stage_, UploadStage::kRoom);

    const qdtest::TestSigningKey key;
    UseKey(0, key.PublicKey());
    Reconnect();
    EXPECT_EQ(Run({Framed(plain)}), QDUPKERR_UNSEALED);
    EXPECT_EQ(stage_, UploadStage::kSeal);
    Reconnect();
    EXPECT_EQ(Run({Framed(qdtest::Sealed(plain, 1, &key))}), 0);
    EXPECT_EQ(stage_, UploadStage::kNone);
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("item")), "data");
}

// What the status query reports of each: a reason code, a short text with
// items numbered from 1, and the identity of a package received whole.
TEST_F(Upload, EachResultSaysWhyAndNamesThePackage) {
    const qdupk::ItemPlan first = qdupk::DataItem(QDUPK_ITEM_FILE, "one", tmp_.file("one"));
    const qdupk::ItemPlan second = qdupk::DataItem(QDUPK_ITEM_FILE, "two", tmp_.file("no/dir/two"));
    const std::string twoItems =
        qdupk::BuildPackage(qdupk::PackagePlan{"pkg", "1.0", "DEV", {first, second}});
    EXPECT_EQ(Run({Framed(twoItems)}), QDUPKERR_COPY);
    EXPECT_EQ(last_.reason, qd::kStatusNoRoom);
    EXPECT_STREQ(last_.text, "no directory for item 2");
    EXPECT_EQ(std::string(last_.identity), qdtest::PackageIdentity(twoItems, false));

    Reconnect();
    EXPECT_EQ(Run({Framed(std::string(600, 'g'))}), -1);
    EXPECT_EQ(last_.reason, qd::kStatusNotAPackage);
    EXPECT_STREQ(last_.text, "not a package: no package head");

    const qdtest::TestSigningKey key;
    UseKey(0, key.PublicKey());
    const std::string plain = qdupk::BuildPackage(FilePackage(tmp_.file("item"), "data"));
    Reconnect();
    EXPECT_EQ(Run({Framed(plain)}), QDUPKERR_UNSEALED);
    EXPECT_EQ(last_.reason, qd::kStatusNotSigned);
    EXPECT_STREQ(last_.text, "not signed by a trusted key");

    ASSERT_TRUE(qd::CopyText(seal_.szCounterFile, tmp_.file("counter").c_str()));
    qdtest::WriteFile(tmp_.file("counter"), "100\n");
    const std::string old = qdtest::Sealed(plain, 99, &key);
    Reconnect();
    EXPECT_EQ(Run({Framed(old)}), QDUPKERR_ROLLBACK);
    EXPECT_EQ(last_.reason, qd::kStatusRollback);
    EXPECT_STREQ(last_.text, "rollback: counter 99 is lower than 100");
    EXPECT_EQ(std::string(last_.identity), qdtest::PackageIdentity(old, true));

    const std::string current = qdtest::Sealed(plain, 100, &key);
    Reconnect();
    EXPECT_EQ(Run({Framed(current)}), 0);
    EXPECT_EQ(last_.reason, qd::kStatusInstalled);
    EXPECT_STREQ(last_.text, "installed");
    EXPECT_EQ(std::string(last_.identity), qdtest::PackageIdentity(current, true));
    for (const std::string& named : {std::string("pkg"), std::string("1.0"),
                                     std::string(last_.identity), std::string("counter 100")}) {
        EXPECT_NE(log_.find(named), std::string::npos) << named << " not in: " << log_;
    }

    // Refused before a byte was taken: no package to name.
    ASSERT_TRUE(qd::CopyText(seal_.szSlip, "unknown key \"Key1\" in [seal]"));
    Reconnect();
    EXPECT_EQ(Run({Framed(plain)}), -1);
    EXPECT_EQ(last_.reason, qd::kStatusSealSettings);
    EXPECT_STREQ(last_.identity, "");
}

// A file-size limit makes the writes fail as on a full disk.
TEST_F(Upload, FullDiskFailsAndRemovesTheFile) {
    const std::string package =
        qdupk::BuildPackage(FilePackage(tmp_.file("big"), std::string(200000, 'p')));
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = Run({Framed(package)});
    setrlimit(RLIMIT_FSIZE, &previous);
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(FileExists(Received()));
    EXPECT_FALSE(FileExists(tmp_.file("big")));
}

// Someone who can write the temporary directory plants a link under the
// package's name: the upload goes to a file of its own, the target is kept.
TEST_F(Upload, PlantedLinkAtThePackageNameIsNotFollowed) {
    const std::string victim = tmp_.file("victim");
    qdtest::WriteFile(victim, "keep me");
    ASSERT_EQ(symlink(victim.c_str(), Received().c_str()), 0);
    const std::string package = qdupk::BuildPackage(FilePackage(tmp_.file("item"), "data"));
    EXPECT_EQ(Run({Framed(package)}), 0);
    EXPECT_EQ(qdtest::ReadFile(victim), "keep me");
    EXPECT_EQ(qdtest::ReadFile(tmp_.file("item")), "data");
    EXPECT_FALSE(FileExists(Received()));
}

// A stop on a chunk boundary fails after the 5-second budget of one chunk.
TEST_F(Upload, PayloadStoppingShortWhileOpenFailsAndRemovesTheFile) {
    const auto start = Clock::now();
    EXPECT_EQ(Run({Header(qd::kUploadMagic, 8192) + std::string(4096, 's')}), -1);
    EXPECT_GE(Clock::now() - start, Millis(4500));
    EXPECT_FALSE(FileExists(Received()));
}

// Inside a chunk the stop costs two budgets (the chunk ends short, the next
// one waits in vain), also when the bytes before it were taken in one
// receive across a chunk boundary.
TEST_F(Upload, PayloadStoppingInsideAChunkFailsAfterTwoBudgets) {
    const auto start = Clock::now();
    EXPECT_EQ(Run({Header(qd::kUploadMagic, 3 * 4096) + std::string(4096 + 1000, 's')}), -1);
    EXPECT_GE(Clock::now() - start, Millis(9500));
    EXPECT_FALSE(FileExists(Received()));
}

TEST_F(Upload, TimedReadSpendsItsBudgetInSlicesAndRestoresItOnProgress) {
    char buf[16];
    auto start = Clock::now();
    EXPECT_EQ(ff_url_tcpread(device_.get(), buf, 8, 400), 0);
    EXPECT_GE(Clock::now() - start, Millis(380));

    // Budget 0 still polls one slice and takes what is there.
    ASSERT_EQ(send(pc_.get(), "abc", 3, 0), 3);
    EXPECT_EQ(ff_url_tcpread(device_.get(), buf, 10, 0), 3);

    // Five bytes 300 ms apart outlast a 400 ms budget only if it is restored.
    std::thread pc([this] { Send({"12345", 1, Millis(300)}); });
    EXPECT_EQ(ff_url_tcpread(device_.get(), buf, 5, 400), 5);
    pc.join();
    EXPECT_EQ(std::string(buf, 5), "12345");

    // The peer's end of stream, seen 31 times within the budget, is a failure.
    Send({"xy", std::string::npos, Millis(0), true});
    EXPECT_EQ(ff_url_tcpread(device_.get(), buf, 8, 10000), -1);
}

// Queued bytes are taken without a wait first, but never by a receive that
// could block: a socket left blocking still ends with its budget.
TEST_F(Upload, TimedReadOnABlockingSocketEndsWithItsBudget) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const qd::UniqueFd device(fds[0]);
    qd::UniqueFd pc(fds[1]);
    ASSERT_EQ(send(pc.get(), "ab", 2, 0), 2);
    char buf[8];
    auto read = std::async(std::launch::async,
                           [&] { return ff_url_tcpread(device.get(), buf, sizeof buf, 400); });
    const bool ended = read.wait_for(Millis(5000)) == std::future_status::ready;
    pc.reset();  // unblocks a read that hangs, so the test fails instead
    ASSERT_TRUE(ended) << "the timed read blocked";
    EXPECT_EQ(read.get(), 2);
    EXPECT_EQ(std::string(buf, 2), "ab");
}

TEST_F(Upload, TimedWriteSurvivesAGonePeerAndGivesUpOnAStalledOne) {
    const std::string big(4 << 20, 'w');
    const auto start = Clock::now();
    const int sent = ff_url_tcpwrite(device_.get(), big.data(), static_cast<int>(big.size()), 400);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(big.size()));
    EXPECT_GE(Clock::now() - start, Millis(380));

    pc_.reset();  // without MSG_NOSIGNAL this would end the test with SIGPIPE
    EXPECT_EQ(ff_url_tcpwrite(device_.get(), "ack", 3, 400), 0);
}

}  // namespace
