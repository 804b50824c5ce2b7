#include "booted_driver.h"

#include "firmware_images/smbios_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace zbench {

using nlohmann::json;

void Fail(const std::string& what)
{
    std::fprintf(stderr, "zerlo_bench: %s\n", what.c_str());
    std::exit(1);
}

std::vector<uint8_t> ExampleInput(const ZerloRequestInfo& request)
{
    if (request.arguments == ZERLO_ARGS_NONE) return {};
    return {1, 0, 1, 0};
}

BootedDriver::BootedDriver(const json& profile, const std::function<void(zhost::Machine&)>& prepare,
                           const std::string& driverPath)
    : DriverSession(profile, prepare)
{
    if (start(driverPath) != STATUS_SUCCESS) Fail("driver did not start");
    if (open() != STATUS_SUCCESS) Fail("device did not open");
}

BootedDriver::~BootedDriver()
{
    stop();
}

std::vector<uint8_t> BootedDriver::reply(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength)
{
    zhost::IoctlOutcome outcome = ioctl(code, input, outputLength);
    if (outcome.status != STATUS_SUCCESS) {
        char text[80];
        std::snprintf(text, sizeof text, "request 0x%08x failed with 0x%08x", code,
                      static_cast<unsigned>(outcome.status));
        Fail(text);
    }
    return std::move(outcome.reply);
}

PreparedRequest::PreparedRequest(zhost::Kernel& kernel, uint32_t code, std::vector<uint8_t> input,
                                 uint32_t outputLength)
    : kernel_(kernel), input_(std::move(input)), buffer_(std::max<size_t>(input_.size(), outputLength))
{
    irp_.AssociatedIrp.SystemBuffer = buffer_.data();
    irp_.Tail.Overlay.CurrentStackLocation = &stack_;
    stack_.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack_.Parameters.DeviceIoControl.IoControlCode = code;
    stack_.Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input_.size());
    stack_.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    request_.irp = reinterpret_cast<uintptr_t>(&irp_);
    kernel_.probe().attendDirectCalls(&request_);
    reset();
}

PreparedRequest::~PreparedRequest()
{
    kernel_.probe().attendDirectCalls(nullptr);
}

void PreparedRequest::reset()
{
    if (!input_.empty()) std::memcpy(buffer_.data(), input_.data(), input_.size());
    irp_.IoStatus.Status = -1;
    irp_.IoStatus.Information = 0;
    request_.completions = 0;
}

json SmbiosTableProfile(size_t tableBytes, uint32_t tableAddress, int extraStrings)
{
    json profile = zhost::DefaultNotebookProfile();
    json& smbios = profile.at("smbios");
    const json source = smbios.at("structures");
    json structures = json::array();
    const json endOfTable = source.back();
    size_t bytes = zhost::BuildSmbiosStructure(endOfTable, "end").size();
    for (size_t i = 0;; i = (i + 1) % (source.size() - 1)) {
        json structure = source[i];
        for (int k = 0; k < extraStrings; ++k)
            structure["extra_strings"].push_back("OEM string " + std::to_string(k));
        const size_t next = zhost::BuildSmbiosStructure(structure, "repeat").size();
        if (bytes + next > tableBytes) break;
        structures.push_back(structure);
        bytes += next;
    }
    structures.push_back(endOfTable);
    smbios["structures"] = structures;
    smbios["table_address"] = tableAddress;
    return profile;
}

json NoSmbiosProfile()
{
    json profile = zhost::DefaultNotebookProfile();
    profile.erase("smbios");
    return profile;
}

void FillFSegmentWithCode(zhost::Machine& machine)
{
    // Fixed seed: every run scans the same bytes. Real BIOS images are dense
    // code and data; zeros would flatter any scan.
    std::mt19937 random(0x5EED);
    std::vector<uint8_t> bytes(0x10000);
    for (uint8_t& byte : bytes)
        byte = static_cast<uint8_t>(random());
    for (size_t i = 0; i + 4 <= bytes.size(); ++i) {
        if (std::memcmp(&bytes[i], "_SM_", 4) == 0) bytes[i] = 0;
    }
    // The default notebook's ACPI firmware in the segment stays where it is.
    std::vector<uint8_t> keep = machine.memory()->read(0xF0000, 0x10000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (keep[i] != 0) bytes[i] = keep[i];
    }
    machine.memory()->write(0xF0000, bytes);
}

json ManyAcpiTablesProfile(int tables)
{
    json profile = zhost::DefaultNotebookProfile();
    json& acpi = profile.at("acpi");
    json listed = json::array();
    json all = json::array();
    for (const json& table : acpi.at("tables")) {
        const std::string signature = table.at("signature");
        if (signature != "RSDT" && signature != "XSDT") all.push_back(table);
    }
    for (const json& table : all) {
        const std::string signature = table.at("signature");
        if (signature != "DSDT" && signature != "FACS") listed.push_back(table.value("name", signature));
    }
    // Further SSDTs back to back, as firmware packs them, with lengths of
    // real processor and device tables.
    uint32_t address = 0x1FF00000;
    for (int i = static_cast<int>(listed.size()); i < tables; ++i) {
        const std::string name = "SSDT" + std::to_string(i);
        const uint32_t length = 0x80 + static_cast<uint32_t>(i % 7) * 0x90;
        all.push_back({{"name", name},
                       {"signature", "SSDT"},
                       {"address", address},
                       {"length", length},
                       {"oem_id", "PmRef"},
                       {"oem_table_id", "Cpu" + std::to_string(i)}});
        listed.push_back(name);
        address += (length + 15) & ~15u;
    }
    all.push_back({{"signature", "RSDT"}, {"address", 0x1FFE0000}, {"entries", listed}});
    all.push_back({{"signature", "XSDT"}, {"address", 0x1FFE1000}, {"entries", listed}});
    acpi["tables"] = all;
    return profile;
}

} // namespace zbench
