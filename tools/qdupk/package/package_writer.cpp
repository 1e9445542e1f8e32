#include "package_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

#include "atomic_file.h"
#include "qdupdate.h"
#include "seal.h"
#include "seal_writer.h"

namespace qdupk {

namespace {

constexpr std::size_t kChunk = std::size_t{64} << 10;

struct Digest {
    unsigned char md5[QDUPK_MD5_SIZE];
    std::int32_t size;
};

void CheckText(const std::string& text, const std::string& what) {
    if (text.size() > kMaxTextLength) {
        throw Error(what + " is longer than 127 characters");
    }
    if (text.find('\0') != std::string::npos) {
        throw Error(what + " contains a NUL character");
    }
}

void StoreText(char (&field)[QDUPK_TEXT_SIZE], const std::string& text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), text.size());
    qdpkg::GetBufferFan(field, field, sizeof field);
}

std::unique_ptr<std::istream> OpenSource(const ItemPlan& item) {
    if (item.sourcePath.empty()) {
        return std::make_unique<std::istringstream>(item.data);
    }
    auto in = std::make_unique<std::ifstream>(item.sourcePath, std::ios::binary);
    if (!*in) {
        throw Error("cannot open source file " + item.sourcePath);
    }
    return in;
}

std::string SourceName(const ItemPlan& item) {
    return item.sourcePath.empty() ? std::string("item data") : item.sourcePath;
}

// First pass over an item's data: its size and digest.
Digest DigestSource(const ItemPlan& item) {
    const std::unique_ptr<std::istream> in = OpenSource(item);
    MD5_CTX context;
    libqdupk_MD5Init(&context);
    std::vector<char> chunk(kChunk);
    std::uint64_t total = 0;
    while (in->read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in->gcount() > 0) {
        const auto got = static_cast<std::size_t>(in->gcount());
        libqdupk_MD5Update(&context, reinterpret_cast<const unsigned char*>(chunk.data()),
                           static_cast<unsigned int>(got));
        total += got;
    }
    if (in->bad()) {
        throw Error("cannot read " + SourceName(item));
    }
    if (total == 0) {
        throw Error(SourceName(item) + " is empty");
    }
    if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        throw Error(SourceName(item) + " is larger than 2 GiB - 1 bytes");
    }
    Digest digest{};
    libqdupk_MD5Final(&context, digest.md5);
    digest.size = static_cast<std::int32_t>(total);
    return digest;
}

// Second pass: exactly the digested bytes, or an error if the source changed.
void CopySource(const ItemPlan& item, std::int32_t size, std::ostream& out) {
    const std::unique_ptr<std::istream> in = OpenSource(item);
    std::vector<char> chunk(kChunk);
    auto remaining = static_cast<std::size_t>(size);
    while (remaining > 0) {
        const std::size_t want = remaining < chunk.size() ? remaining : chunk.size();
        if (!in->read(chunk.data(), static_cast<std::streamsize>(want))) {
            throw Error(SourceName(item) + " changed while it was packed");
        }
        out.write(chunk.data(), static_cast<std::streamsize>(want));
        remaining -= want;
    }
    if (in->peek() != std::char_traits<char>::eof()) {
        throw Error(SourceName(item) + " changed while it was packed");
    }
}

void WriteHead(const PackagePlan& plan, std::ostream& out) {
    QDUPK_PACKHEAD_T head{};
    head.dwSize = static_cast<std::int32_t>(qdpkg::kPackHeadSize);
    head.nMaskID = QDUPK_PACKHEAD_MASK;
    head.nUpkVersion = kFormatVersion;
    StoreText(head.szPktName, plan.name);
    StoreText(head.szPktVersion, plan.version);
    StoreText(head.szDevID, plan.devId);
    head.nItems = static_cast<std::int32_t>(plan.items.size());
    unsigned char raw[qdpkg::kPackHeadSize];
    qdpkg::EncodePackHead(head, raw);
    out.write(reinterpret_cast<const char*>(raw), sizeof raw);
}

void WriteItem(const ItemPlan& plan, std::int32_t index, std::ostream& out) {
    const Digest digest = DigestSource(plan);
    QDUPK_PKTITEM_T item{};
    item.dwSize = static_cast<std::int32_t>(qdpkg::kItemHeadSize);
    item.nMaskID = QDUPK_PKTITEM_MASK;
    item.nItemIndex = index;
    item.nItemType = plan.type;
    item.bRebootFlag = plan.rebootFlag;
    StoreText(item.szDevID, plan.devId);
    StoreText(item.szDesc, plan.description);
    StoreText(item.szDstFileName, plan.destination);
    std::memcpy(item.szDataMd5, digest.md5, sizeof item.szDataMd5);
    item.nDataSize = digest.size;
    unsigned char raw[qdpkg::kItemHeadSize];
    qdpkg::EncodeItemHead(item, raw);
    out.write(reinterpret_cast<const char*>(raw), sizeof raw);
    CopySource(plan, digest.size, out);
}

void WriteEnd(std::ostream& out) {
    QDUPK_PACKEND_T end{};
    end.dwSize = static_cast<std::int32_t>(qdpkg::kPackEndSize);
    end.nMaskID = QDUPK_PACKEND_MASK;
    unsigned char raw[qdpkg::kPackEndSize];
    qdpkg::EncodePackEnd(end, raw);
    out.write(reinterpret_cast<const char*>(raw), sizeof raw);
}

void CheckPlan(const PackagePlan& plan) {
    if (plan.items.empty()) {
        throw Error("the package has no items");
    }
    if (plan.items.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw Error("the package has too many items");
    }
    CheckText(plan.name, "package name");
    CheckText(plan.version, "package version");
    CheckText(plan.devId, "package device id");
    for (std::size_t i = 0; i < plan.items.size(); ++i) {
        const std::string what = "item " + std::to_string(i + 1) + " ";
        CheckText(plan.items[i].destination, what + "destination");
        CheckText(plan.items[i].devId, what + "device id");
        CheckText(plan.items[i].description, what + "description");
    }
}

// Passes every byte on to the file and into the seal's digest, so the
// package is hashed as it is written instead of read back.
class HashingBuf final : public std::streambuf {
  public:
    HashingBuf(std::streambuf* sink, qdpkg::Sha256* hash) : sink_(sink), hash_(hash) {}

  protected:
    std::streamsize xsputn(const char* data, std::streamsize size) override {
        hash_->Update(data, static_cast<std::size_t>(size));
        return sink_->sputn(data, size);
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        const char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }

  private:
    std::streambuf* sink_;
    qdpkg::Sha256* hash_;
};

void WriteSealedPackage(const PackagePlan& plan, std::ostream& out, const SealOpts& seal) {
    qdpkg::Sha256 hash;
    HashingBuf hashing(out.rdbuf(), &hash);
    std::ostream hashed(&hashing);
    WritePackage(plan, hashed);
    unsigned char digest[qdpkg::kSha256Size];
    if (!hash.Final(digest)) {
        throw Error("the crypto library cannot compute SHA-256");
    }
    const std::array<unsigned char, QDUPK_SEAL_SIZE> bytes = MakeSeal(digest, seal);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

void WritePackage(const PackagePlan& plan, std::ostream& out) {
    CheckPlan(plan);
    WriteHead(plan, out);
    for (std::size_t i = 0; i < plan.items.size(); ++i) {
        WriteItem(plan.items[i], static_cast<std::int32_t>(i), out);
    }
    WriteEnd(out);
    if (!out) {
        throw Error("cannot write the package");
    }
}

std::string BuildPackage(const PackagePlan& plan) {
    std::ostringstream out(std::ios::binary);
    WritePackage(plan, out);
    return out.str();
}

void WritePackageFile(const PackagePlan& plan, const std::string& outPath, const SealOpts& seal,
                      bool replace) {
    CheckPlan(plan);
    AtomicFile temp(outPath);
    {
        std::ofstream out(temp.path(), std::ios::binary | std::ios::trunc);
        WriteSealedPackage(plan, out, seal);
        out.close();
        if (!out) {
            throw Error("cannot write " + temp.path());
        }
    }
    CheckSealedOutput(temp.path(), seal);
    temp.Commit(replace);
}

ItemPlan DataItem(std::int32_t type, std::string data, std::string destination) {
    ItemPlan item;
    item.type = type;
    item.data = std::move(data);
    item.destination = std::move(destination);
    return item;
}

}  // namespace qdupk
