#include "acpi_builder.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace zhost {

namespace {

constexpr uint32_t kHeaderLength = 36;
constexpr uint32_t kChecksumOffset = 9;

class Bytes {
  public:
    explicit Bytes(size_t size) : data(size, 0) {}
    void put8(size_t at, uint8_t value)
    {
        if (at < data.size()) data[at] = value;
    }
    void put16(size_t at, uint16_t value)
    {
        for (size_t i = 0; i < 2; ++i)
            put8(at + i, static_cast<uint8_t>(value >> (8 * i)));
    }
    void put32(size_t at, uint32_t value)
    {
        for (size_t i = 0; i < 4; ++i)
            put8(at + i, static_cast<uint8_t>(value >> (8 * i)));
    }
    void put64(size_t at, uint64_t value)
    {
        put32(at, static_cast<uint32_t>(value));
        put32(at + 4, static_cast<uint32_t>(value >> 32));
    }
    // A fixed-width text field, padded with NULs.
    void text(size_t at, const std::string& value, size_t width)
    {
        for (size_t i = 0; i < width; ++i)
            put8(at + i, i < value.size() ? static_cast<uint8_t>(value[i]) : 0);
    }
    std::vector<uint8_t> data;
};

uint8_t Sum(const uint8_t* bytes, size_t count)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

void CheckWidth(const std::string& value, size_t width, const std::string& what)
{
    if (value.size() > width) throw std::invalid_argument(what + ": at most " + std::to_string(width) + " characters");
}

class Builder {
  public:
    Builder(PhysicalMemory& memory, const AcpiFirmware& firmware) : memory_(memory), firmware_(firmware)
    {
        for (const AcpiTableLayout& table : firmware.tables) {
            if (!addresses_.emplace(table.name, table.address).second) {
                throw std::invalid_argument("acpi.tables[]: two tables named '" + table.name + "'");
            }
        }
    }

    void build()
    {
        if (firmware_.ebdaSegment) {
            Bytes word(2);
            word.put16(0, *firmware_.ebdaSegment);
            memory_.write(kEbdaPointerAddress, word.data);
        }
        for (const AcpiTableLayout& table : firmware_.tables)
            memory_.write(table.address, tableBytes(table));
        // Tables may overlap (firmware that lays one inside another): sums
        // are set once everything is in place, the later-starting table
        // first, so that no checksum byte changes after its sum was taken.
        std::vector<const AcpiTableLayout*> order;
        for (const AcpiTableLayout& table : firmware_.tables)
            order.push_back(&table);
        std::stable_sort(order.begin(), order.end(),
                         [](const AcpiTableLayout* a, const AcpiTableLayout* b) { return a->address > b->address; });
        for (const AcpiTableLayout* table : order) {
            if (table->signature != "FACS") fixChecksum(table->address, kChecksumOffset, span(*table));
        }
        for (const AcpiRsdpLayout& rsdp : firmware_.rsdps)
            placeRsdp(rsdp);
    }

  private:
    uint64_t resolve(const AcpiReference& reference) const
    {
        if (reference.table.empty()) return reference.address;
        auto it = addresses_.find(reference.table);
        if (it == addresses_.end()) throw std::invalid_argument("acpi: no table named '" + reference.table + "'");
        return it->second;
    }

    static uint32_t naturalLength(const AcpiTableLayout& table)
    {
        const std::string& s = table.signature;
        const uint32_t entries = static_cast<uint32_t>(table.entries.size());
        if (s == "RSDT") return kHeaderLength + 4 * entries;
        if (s == "XSDT") return kHeaderLength + 8 * entries;
        if (s == "FACP") return table.revision >= 3 ? 244 : 116;
        if (s == "FACS") return 64;
        if (s == "APIC") return 84;
        if (s == "HPET") return 56;
        if (s == "MCFG") return 60;
        if (s == "BOOT") return 40;
        if (s == "ECDT") return 82;
        if (s == "TCPA") return 50;
        if (s == "DSDT" || s == "SSDT") return kHeaderLength + 0x200;
        return kHeaderLength + 16;
    }

    static uint32_t span(const AcpiTableLayout& table)
    {
        return std::max(kHeaderLength, table.length.value_or(naturalLength(table)));
    }

    std::vector<uint8_t> tableBytes(const AcpiTableLayout& table) const
    {
        const uint32_t length = table.length.value_or(naturalLength(table));
        Bytes b(span(table));
        b.text(0, table.signature, 4);
        b.put32(4, length);
        const std::string& s = table.signature;
        if (s == "FACS") {
            b.put32(8, 0x0C00); // hardware signature
            b.put8(32, 1);      // version
            return b.data;
        }
        b.put8(8, table.revision);
        b.text(10, table.oemId, 6);
        b.text(16, table.oemTableId, 8);
        b.put32(24, table.oemRevision);
        b.text(28, table.creatorId, 4);
        b.put32(32, table.creatorRevision);

        if (s == "RSDT" || s == "XSDT") {
            const size_t step = s == "RSDT" ? 4 : 8;
            for (size_t i = 0; i < table.entries.size(); ++i) {
                const uint64_t address = resolve(table.entries[i]);
                if (step == 4)
                    b.put32(kHeaderLength + step * i, static_cast<uint32_t>(address));
                else
                    b.put64(kHeaderLength + step * i, address);
            }
        } else if (s == "FACP") {
            const uint64_t facs = table.facs ? resolve(*table.facs) : 0;
            const uint64_t dsdt = table.dsdt ? resolve(*table.dsdt) : 0;
            b.put32(36, static_cast<uint32_t>(facs));
            b.put32(40, static_cast<uint32_t>(dsdt));
            b.put8(45, 2);       // preferred profile: mobile
            b.put16(46, 9);      // SCI interrupt
            b.put32(48, 0xB2);   // SMI command port
            b.put8(52, 0xF0);    // ACPI enable
            b.put8(53, 0xF1);    // ACPI disable
            b.put32(56, 0x1000); // PM1a event block
            b.put32(64, 0x1004); // PM1a control block
            b.put32(76, 0x1008); // PM timer block
            b.put32(80, 0x1028); // GPE0 block
            b.put8(88, 4);
            b.put8(89, 2);
            b.put8(91, 4);
            b.put8(92, 8);
            b.put32(112, 0x000084A5); // flags
            if (length >= 148) {
                b.put64(132, facs);
                b.put64(140, dsdt);
            }
        } else if (s == "APIC") {
            b.put32(36, 0xFEE00000);
            b.put32(40, 1);
            const uint8_t entries[] = {0, 8,  0, 0, 1, 0, 0,    0,                   // processor 0
                                       1, 12, 1, 0, 0, 0, 0xC0, 0xFE, 0,    0, 0, 0, // I/O APIC
                                       2, 10, 0, 0, 2, 0, 0,    0,    0,    0,       // IRQ0 -> GSI 2
                                       2, 10, 0, 9, 9, 0, 0,    0,    0x0D, 0};      // SCI, level, high
            for (size_t i = 0; i < sizeof entries; ++i)
                b.put8(44 + i, entries[i]);
        } else if (s == "HPET") {
            b.put32(36, 0x8086A201);
            b.put8(41, 64);
            b.put64(44, 0xFED00000);
            b.put16(53, 0x80);
        } else if (s == "MCFG") {
            b.put64(44, 0xE0000000);
            b.put8(55, 0xFF);
        } else if (s == "BOOT") {
            b.put8(36, 0x36);
        }
        return b.data;
    }

    void fixChecksum(uint64_t address, uint32_t checksumAt, uint32_t count)
    {
        std::vector<uint8_t> bytes = memory_.read(static_cast<uint32_t>(address), count);
        bytes[checksumAt] = 0;
        const uint8_t value = static_cast<uint8_t>(-Sum(bytes.data(), bytes.size()));
        memory_.write(static_cast<uint32_t>(address + checksumAt), std::vector<uint8_t>{value});
    }

    void placeRsdp(const AcpiRsdpLayout& rsdp)
    {
        const bool extended = rsdp.revision >= 2;
        Bytes b(extended ? 36 : 20);
        b.text(0, "RSD PTR ", 8);
        b.text(9, rsdp.oemId, 6);
        b.put8(15, rsdp.revision);
        if (rsdp.rsdt) b.put32(16, static_cast<uint32_t>(resolve(*rsdp.rsdt)));
        if (extended) {
            b.put32(20, 36);
            if (rsdp.xsdt) b.put64(24, resolve(*rsdp.xsdt));
        }
        b.put8(8, static_cast<uint8_t>(-Sum(b.data.data(), 20)));
        if (extended) b.put8(32, static_cast<uint8_t>(-Sum(b.data.data(), 36)));
        if (rsdp.badChecksum) b.put8(8, static_cast<uint8_t>(b.data[8] + 1));
        memory_.write(rsdp.address, b.data);
    }

    PhysicalMemory& memory_;
    const AcpiFirmware& firmware_;
    std::map<std::string, uint64_t> addresses_;
};

} // namespace

void PlaceAcpiFirmware(PhysicalMemory& memory, const AcpiFirmware& firmware)
{
    for (const AcpiTableLayout& table : firmware.tables) {
        if (table.signature.size() != 4) throw std::invalid_argument("acpi.tables[].signature: exactly 4 characters");
        CheckWidth(table.oemId, 6, "acpi.tables[].oem_id");
        CheckWidth(table.oemTableId, 8, "acpi.tables[].oem_table_id");
        CheckWidth(table.creatorId, 4, "acpi.tables[].creator_id");
    }
    for (const AcpiRsdpLayout& rsdp : firmware.rsdps)
        CheckWidth(rsdp.oemId, 6, "acpi.rsdp[].oem_id");
    Builder(memory, firmware).build();
}

} // namespace zhost
