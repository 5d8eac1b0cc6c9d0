// SPDX-License-Identifier: Apache-2.0
// Damaged library files and a host's round of calls on them.
#include "damage.h"

#include <algorithm>
#include <cstring>

#include "kiv_tlib.h"
#include "test_support.h"
#include "tlib_fixtures.h"

namespace tlibtest {

namespace {

constexpr size_t kPage = 1024;

void put32(std::string &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = char(v >> (24 - 8 * i));
}
void put16(std::string &b, size_t at, uint32_t v) {
    b[at] = char(v >> 8);
    b[at + 1] = char(v);
}

// Pages of the given kind (1 internal, 2 leaf, 4 overflow); every page when kind is 0.
std::vector<size_t> pagesOf(const std::string &b, uint32_t kind) {
    std::vector<size_t> out;
    for (size_t p = 1; p < b.size() / kPage; ++p)
        if (kind == 0 || (be32(b, p * kPage + 12) & 0x1f) == kind) out.push_back(p);
    return out;
}

// A value that often sits right at or past a limit.
uint32_t edgy(std::mt19937 &random) {
    static const uint32_t values[] = {0,     1,     2,          19,         20,
                                      1023,  1024,  1025,       0x7fff,     0xffff,
                                      20368, 65535, 0x7fffffff, 0x80000000, 0xffffffff};
    if (random() % 3 == 0) return uint32_t(random());
    return values[random() % std::size(values)];
}

}  // namespace

uint32_t be32(const std::string &b, size_t at) {
    return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 |
           uint32_t(uint8_t(b[at + 2])) << 8 | uint8_t(b[at + 3]);
}

size_t linkedLeafPage(const std::string &file) {
    for (size_t p : pagesOf(file, 2))
        if (be32(file, p * kPage + 8) != 0) return p;
    return 0;
}

const char *damageName(Damage kind) {
    static const char *const names[] = {"bit-flips",     "byte-flips",    "truncation",
                                        "zeroed-page",   "page-header",   "line-pointer",
                                        "record-length", "swapped-pages", "random-tail",
                                        "next-zeroed",   "cycle"};
    return names[int(kind)];
}

std::string damaged(const std::string &file, Damage kind, std::mt19937 &random) {
    std::string b = file;
    size_t pages = b.size() / kPage;
    auto pick = [&random](const std::vector<size_t> &from) {
        return from.empty() ? size_t{1} : from[random() % from.size()];
    };
    switch (kind) {
        case Damage::BitFlips:
            for (int i = 1 + int(random() % 8); i > 0; --i)
                b[random() % b.size()] ^= char(1u << (random() % 8));
            break;
        case Damage::ByteFlips:
            for (int i = 1 + int(random() % 4); i > 0; --i) b[random() % b.size()] = char(random());
            break;
        case Damage::Truncation:
            b.resize(random() % 2 ? random() % b.size() : (random() % pages) * kPage);
            break;
        case Damage::ZeroedPage: {
            size_t p = random() % 8 == 0 ? 0 : 1 + random() % (pages - 1);
            std::fill_n(b.begin() + long(p * kPage), kPage, '\0');
            break;
        }
        case Damage::PageHeaderField: {
            size_t p = 1 + random() % (pages - 1), field = random() % 6;
            if (field < 4)
                put32(b, p * kPage + 4 * field, edgy(random));
            else
                put16(b, p * kPage + 16 + 2 * (field - 4), edgy(random));
            break;
        }
        case Damage::LinePointer: {
            size_t p = pick(pagesOf(b, 2 - random() % 2)), lower = be32(b, p * kPage + 16) >> 16;
            size_t entries = lower > 20 && lower <= kPage ? (lower - 20) / 2 : 1;
            put16(b, p * kPage + 20 + 2 * (random() % entries), edgy(random));
            break;
        }
        case Damage::RecordLength: {
            size_t p = pick(pagesOf(b, 2 - random() % 2));
            size_t lower = be32(b, p * kPage + 16) >> 16,
                   entries = lower > 20 ? (lower - 20) / 2 : 0;
            if (entries == 0 || lower > kPage) break;
            size_t at = (be32(b, p * kPage + 20 + 2 * (random() % entries) - 2) & 0xffff);
            if (at + 9 <= kPage) put32(b, p * kPage + at + 4 * (random() % 2), edgy(random));
            break;
        }
        case Damage::SwappedPages: {
            size_t p = random() % pages, q = random() % pages;
            std::swap_ranges(b.begin() + long(p * kPage), b.begin() + long((p + 1) * kPage),
                             b.begin() + long(q * kPage));
            break;
        }
        case Damage::RandomAfterFirstPage:
            for (size_t i = kPage; i < b.size(); ++i) b[i] = char(random());
            break;
        case Damage::NextPageZeroed: {
            std::vector<size_t> linked;
            for (size_t p : pagesOf(b, 0))
                if (be32(b, p * kPage + 8) != 0) linked.push_back(p);
            put32(b, pick(linked) * kPage + 8, 0);
            break;
        }
        case Damage::Cycle: {
            std::vector<size_t> leaves = pagesOf(b, 2), internal = pagesOf(b, 1);
            if (random() % 2 || internal.empty()) {
                // A sibling or overflow link back to an earlier page, or to itself.
                size_t p = pick(random() % 2 ? leaves : pagesOf(b, 4));
                put32(b, p * kPage + 8, uint32_t(p - random() % p));
            } else {
                // A child pointer to the root or back to its own page.
                size_t p = pick(internal), lower = be32(b, p * kPage + 16) >> 16;
                size_t at =
                    be32(b, p * kPage + 20 + 2 * (random() % ((lower - 20) / 2)) - 2) & 0xffff;
                if (at + 9 <= kPage) put32(b, p * kPage + at + 4, random() % 2 ? 1 : uint32_t(p));
            }
            break;
        }
    }
    return b;
}

std::vector<std::string> buildLibrary(const std::string &path, int definitions) {
    Handle t = create(path);
    addEveryKind(t.get());
    std::vector<std::string> ids;
    for (int i = 0; ids.size() + 32 < size_t(definitions); ++i) {
        // Appended, not added: GCC 12 warns falsely (-Wrestrict) about "N" + std::to_string(i).
        std::string name(1, 'N'), id = "IDL:M/";
        name += std::to_string(i);
        id.append(name).append(":1.0");
        kivTLibTypeRef type{KIV_TYPE_LONG, nullptr};
        kivTLibStructMember members[] = {{"a", type}, {"b", {KIV_TYPE_STRING, nullptr}}};
        kivResult rc =
            i % 3 ? kivTLibCreateModule(t.get(), name.c_str(), id.c_str(), "IDL:M:1.0", 0, nullptr)
                  : kivTLibCreateStruct(t.get(), name.c_str(), id.c_str(), "IDL:M:1.0", 0, 2,
                                        members, nullptr);
        if (rc == 0) ids.push_back(id);
    }
    for (const char *id : {KIV_TLIB_ROOT_ID, KIV_TLIB_ANONYMOUS_SCOPE_ID, "IDL:M:1.0",
                           "IDL:M/IGrid:1.0", "IDL:M/Maybe:1.0", "LOCAL:1", "LOCAL:3"})
        ids.push_back(id);
    return ids;
}

namespace {

size_t readable(kivTLib *t, const std::vector<std::string> &ids) {
    size_t n = 0;
    for (const std::string &id : ids) n += kivTLibGetDefinition(t, id.c_str(), nullptr) == 0;
    kivTLibDef *root = nullptr;
    if (kivTLibGetRoot(t, &root) == 0 && root->kind == KIV_DEF_MODULE) {
        auto *module = reinterpret_cast<kivTLibModuleDef *>(root);
        for (uint32_t i = 0; i < module->contentCount; ++i)
            if (module->contents[i]) kivTLibGetDefinition(t, module->contents[i], nullptr);
    }
    return n;
}

}  // namespace

std::string exercise(const std::string &path, const std::string &scratch,
                     const std::vector<std::string> &ids) {
    size_t before = 0;
    kivTLib *t = nullptr;
    if (kivTLibOpen(path.c_str(), KIV_TLIB_READONLY, &t) == 0) {
        before = readable(t, ids);
        kivTLibClose(t);
    }
    std::string bytes = kivtest::readFile(path);
    kivtest::writeFile(scratch, bytes);
    if (kivTLibOpen(scratch.c_str(), 0, &t) != 0) return "";
    char id[32];
    kivTLibCreateLocalRepoId(t, id, sizeof id);
    // The module may be refused (a damaged root); the flush still writes the counter.
    kivTLibCreateModule(t, "Added", "IDL:Added:1.0", KIV_TLIB_ROOT_ID, 0, nullptr);
    kivResult flushed = kivTLibFlush(t);
    kivTLibClose(t);
    if (flushed != 0)
        return kivtest::readFile(scratch) == bytes ? "" : "a refused flush changed the file";
    if (kivTLibOpen(scratch.c_str(), KIV_TLIB_READONLY, &t) != 0)
        return "a flush that returned 0 left a file that cannot be opened";
    size_t after = readable(t, ids);
    kivTLibClose(t);
    if (after < before)
        return "a flush that returned 0 left " + std::to_string(after) + " of " +
               std::to_string(before) + " readable ids";
    return "";
}

}  // namespace tlibtest
