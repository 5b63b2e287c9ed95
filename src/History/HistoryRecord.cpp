#include "History/HistoryRecord.h"

#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <memory>

const std::string kGenesisHash(64, '0');

namespace {

constexpr std::array<const char*, 6> kActionNames = {
    "controller-firmware", "component-firmware", "tables", "dat", "reset", "filter-reset"};
constexpr std::array<const char*, 5> kResultNames = {"done", "failed", "busy", "interrupted",
                                                     "refused"};

template <class E, size_t N>
std::optional<E> FromName(const std::array<const char*, N>& names, const std::string& name)
{
    for (size_t i = 0; i < N; ++i)
        if (name == names[i])
            return static_cast<E>(i);
    return std::nullopt;
}

template <class T> HistoryJson OrNull(const std::optional<T>& v)
{
    return v ? HistoryJson(*v) : HistoryJson(nullptr);
}

std::string Hex(const unsigned char* d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

struct MdCtxFree
{
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

MdCtx NewSha256()
{
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
    return ctx;
}

std::string Finish(EVP_MD_CTX* ctx)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, md, &n);
    return Hex(md, n);
}

} // namespace

const char* HistoryActionName(HistoryAction action)
{
    return kActionNames.at(static_cast<size_t>(action));
}

std::optional<HistoryAction> HistoryActionFromName(const std::string& name)
{
    return FromName<HistoryAction>(kActionNames, name);
}

const char* HistoryResultName(HistoryResult result)
{
    return kResultNames.at(static_cast<size_t>(result));
}

std::optional<HistoryResult> HistoryResultFromName(const std::string& name)
{
    return FromName<HistoryResult>(kResultNames, name);
}

const std::vector<std::string>& HistoryFieldNames()
{
    static const std::vector<std::string> names = [] {
        const HistoryJson fields = HistoryRecord().ToJson();
        std::vector<std::string> n;
        for (auto it = fields.begin(); it != fields.end(); ++it)
            n.push_back(it.key());
        return n;
    }();
    return names;
}

HistoryJson HistoryRecord::ToJson() const
{
    return {{"start", Start},
            {"end", End},
            {"host", Host},
            {"user", User},
            {"program", Program},
            {"frontend", Frontend},
            {"action", HistoryActionName(Action)},
            {"dryRun", DryRun},
            {"serial", Serial},
            {"port", OrNull(Port)},
            {"channel", Channel},
            {"model", OrNull(Model)},
            {"componentSerial", OrNull(ComponentSerial)},
            {"before", Before},
            {"after", After},
            {"file", OrNull(File)},
            {"fileSize", OrNull(FileSize)},
            {"sha256", OrNull(Sha256)},
            {"checksum", OrNull(Checksum)},
            {"result", HistoryResultName(Result)},
            {"failure", OrNull(Failure)},
            {"bootloader", Bootloader},
            {"durationMs", DurationMs},
            {"comlog", OrNull(Comlog)},
            {"run", OrNull(Run)},
            {"hash", Hash}};
}

std::string HistoryRecord::ComputeHash() const
{
    HistoryJson fields = ToJson();
    fields.erase("hash");
    // Records written before runs were recorded keep their hashes.
    if (!Run)
        fields.erase("run");
    return Sha256Hex(PrevHash + "\n" +
                     fields.dump(-1, ' ', false, HistoryJson::error_handler_t::replace));
}

std::string Sha256Hex(const std::string& bytes)
{
    MdCtx ctx = NewSha256();
    EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size());
    return Finish(ctx.get());
}

std::optional<FileDigest> DigestFile(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return std::nullopt;
    MdCtx ctx = NewSha256();
    FileDigest d;
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        EVP_DigestUpdate(ctx.get(), buf, n);
        d.Size += static_cast<int64_t>(n);
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed)
        return std::nullopt;
    d.Sha256 = Finish(ctx.get());
    return d;
}

std::string ValidUtf8(const std::string& text)
{
    const std::string quoted =
        HistoryJson(text).dump(-1, ' ', false, HistoryJson::error_handler_t::replace);
    return HistoryJson::parse(quoted).get<std::string>();
}
