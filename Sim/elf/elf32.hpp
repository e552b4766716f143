// A small reader of little-endian 32-bit ELF executables, enough for the
// chip image: its loadable segments (what goes to flash and SRAM), its
// sections, its symbol table, and the bytes at a load or run address.
#pragma once
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace sim::elf {

struct Segment {
    uint32_t vaddr, paddr, filesz, memsz, flags, offset;
};

struct Section {
    std::string name;
    uint32_t type, flags, addr, offset, size;
};

struct Symbol {
    std::string name;
    uint32_t value, size;
    uint8_t type;      // STT_*: 0 none, 1 object, 2 function
    uint8_t bind;      // STB_*: 0 local, 1 global, 2 weak
    uint16_t shndx;
};

constexpr uint32_t kPtLoad = 1;
constexpr uint32_t kShtSymtab = 2;
constexpr uint32_t kShtNobits = 8;
constexpr uint8_t kSttObject = 1;
constexpr uint8_t kSttFunc = 2;
constexpr uint16_t kEmArm = 40;

class Image {
public:
    // Reads and checks the file; empty when it is not a 32-bit
    // little-endian ELF executable that fits its own headers.
    static std::optional<Image> load(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        if (!f) return std::nullopt;
        Image img;
        img.data_.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        if (!img.parse()) return std::nullopt;
        return img;
    }

    uint16_t machine() const { return machine_; }
    uint32_t entry() const { return entry_; }
    const std::vector<Segment> &segments() const { return segments_; }
    const std::vector<Section> &sections() const { return sections_; }
    const std::vector<Symbol> &symbols() const { return symbols_; }

    const Section *section(const std::string &name) const
    {
        for (const Section &s : sections_)
            if (s.name == name) return &s;
        return nullptr;
    }

    const Symbol *symbol(const std::string &name) const
    {
        for (const Symbol &s : symbols_)
            if (s.name == name) return &s;
        return nullptr;
    }

    // The function symbol whose code starts at addr (thumb bit ignored).
    const Symbol *function_at(uint32_t addr) const
    {
        for (const Symbol &s : symbols_)
            if (s.type == kSttFunc && (s.value & ~1u) == (addr & ~1u)) return &s;
        return nullptr;
    }

    // Bytes of the file image at a run address (vaddr of a loadable segment).
    bool read(uint32_t addr, void *out, uint32_t n) const
    {
        for (const Segment &s : segments_) {
            if (addr >= s.vaddr && n <= s.filesz && addr - s.vaddr <= s.filesz - n) {
                std::memcpy(out, data_.data() + s.offset + (addr - s.vaddr), n);
                return true;
            }
        }
        return false;
    }

    std::optional<uint32_t> read32(uint32_t addr) const
    {
        uint8_t b[4];
        if (!read(addr, b, 4)) return std::nullopt;
        return le32(b);
    }

    std::optional<uint16_t> read16(uint32_t addr) const
    {
        uint8_t b[2];
        if (!read(addr, b, 2)) return std::nullopt;
        return static_cast<uint16_t>(b[0] | (b[1] << 8));
    }

    // The whole file, for a loader that copies segments itself.
    const std::vector<uint8_t> &file() const { return data_; }

private:
    static uint32_t le32(const uint8_t *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
    static uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

    bool in_file(uint64_t off, uint64_t n) const { return off + n <= data_.size(); }
    uint32_t u32(uint64_t off) const { return le32(data_.data() + off); }
    uint16_t u16(uint64_t off) const { return le16(data_.data() + off); }

    std::string cstr(uint64_t off, uint64_t limit) const
    {
        std::string s;
        while (off < limit && off < data_.size() && data_[off] != 0) s.push_back(static_cast<char>(data_[off++]));
        return s;
    }

    bool parse()
    {
        const uint8_t *d = data_.data();
        if (!in_file(0, 52) || std::memcmp(d, "\x7f" "ELF", 4) != 0) return false;
        if (d[4] != 1 /* ELFCLASS32 */ || d[5] != 1 /* little endian */) return false;
        machine_ = u16(18);
        entry_ = u32(24);
        const uint32_t phoff = u32(28), shoff = u32(32);
        const uint16_t phentsize = u16(42), phnum = u16(44), shentsize = u16(46), shnum = u16(48), shstrndx = u16(50);

        if (phnum && (phentsize < 32 || !in_file(phoff, uint64_t(phentsize) * phnum))) return false;
        for (uint16_t i = 0; i < phnum; ++i) {
            const uint64_t p = phoff + uint64_t(i) * phentsize;
            if (u32(p) != kPtLoad) continue;
            Segment s{u32(p + 8), u32(p + 12), u32(p + 16), u32(p + 20), u32(p + 24), u32(p + 4)};
            if (!in_file(s.offset, s.filesz)) return false;
            segments_.push_back(s);
        }

        if (shnum && (shentsize < 40 || !in_file(shoff, uint64_t(shentsize) * shnum) || shstrndx >= shnum)) return false;
        const uint64_t strsec = shoff + uint64_t(shstrndx) * shentsize;
        const uint64_t names = shnum ? u32(strsec + 16) : 0, names_end = shnum ? names + u32(strsec + 20) : 0;
        uint64_t symtab = 0;
        for (uint16_t i = 0; i < shnum; ++i) {
            const uint64_t h = shoff + uint64_t(i) * shentsize;
            Section s{cstr(names + u32(h), names_end), u32(h + 4), u32(h + 8), u32(h + 12), u32(h + 16), u32(h + 20)};
            if (s.type != kShtNobits && !in_file(s.offset, s.size)) return false;
            if (s.type == kShtSymtab) symtab = h;
            sections_.push_back(s);
        }
        if (symtab) {
            const uint32_t off = u32(symtab + 16), size = u32(symtab + 20), link = u32(symtab + 24);
            if (link >= shnum) return false;
            const uint64_t strh = shoff + uint64_t(link) * shentsize;
            const uint64_t str = u32(strh + 16), str_end = str + u32(strh + 20);
            for (uint64_t p = off; p + 16 <= uint64_t(off) + size; p += 16) {
                Symbol s{cstr(str + u32(p), str_end), u32(p + 4), u32(p + 8),
                         static_cast<uint8_t>(d[p + 12] & 0xF), static_cast<uint8_t>(d[p + 12] >> 4), u16(p + 14)};
                if (!s.name.empty()) symbols_.push_back(std::move(s));
            }
        }
        return true;
    }

    std::vector<uint8_t> data_;
    uint16_t machine_ = 0;
    uint32_t entry_ = 0;
    std::vector<Segment> segments_;
    std::vector<Section> sections_;
    std::vector<Symbol> symbols_;
};

}  // namespace sim::elf
