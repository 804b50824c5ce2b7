// Writes the committed seed corpora. Firmware seeds: for every profile
// given, the machine's non-zero bytes as regions (the BIOS window, the EBDA
// and its pointer, the tables above 1 MiB), so the fuzzer starts from real
// firmware images and keeps the seeds small. Request seeds: each code alone
// with valid arguments, and mixed sequences, on the notebook and bare.
// Loader seeds, from built images rather than committed: each image, and
// the first one changed as the emulator's tests change it.
//   make_seeds FIRMWARE_DIR REQUEST_DIR [default|PROFILE.json]...
//   make_seeds --images DIR IMAGE.sys...
#include "firmware_image.h"
#include "image_changes.h"

#include "frame/zerlo_ioctl.h"
#include "profile/profile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// Zero gaps shorter than this stay inside a region: fewer, longer regions
// mutate more like the firmware they came from.
constexpr uint32_t kJoinGap = 64;

void WriteSeed(const std::filesystem::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<uint8_t> FirmwareSeed(const zhost::Machine& machine)
{
    std::vector<uint8_t> seed = {0}; // no failing map call
    for (const auto& [start, length] : machine.memory()->populatedRanges()) {
        const std::vector<uint8_t> bytes = machine.memory()->read(start, length);
        uint32_t i = 0;
        while (i < length) {
            while (i < length && bytes[i] == 0)
                ++i;
            if (i == length) break;
            uint32_t end = i;
            uint32_t zeros = 0;
            for (uint32_t j = i; j < length && zeros < kJoinGap && j - i < zfuzz::kMaxRegionLength; ++j) {
                zeros = bytes[j] == 0 ? zeros + 1 : 0;
                if (bytes[j] != 0) end = j + 1;
            }
            zfuzz::AppendRegion(seed, start + i, bytes.data() + i, static_cast<uint16_t>(end - i));
            i = end;
        }
    }
    return seed;
}

struct SeedRequest {
    uint32_t code;
    uint16_t word0;
    uint16_t word1;
};

size_t TableIndex(uint32_t code)
{
    for (size_t i = 0; i < std::size(ZERLO_REQUESTS); ++i) {
        if (ZERLO_REQUESTS[i].code == code) return i;
    }
    throw std::logic_error("code outside the table");
}

// In the request fuzzer's layout: kind < 160 picks a table code, a length
// byte < 200 takes the next byte modulo 9, an output byte in 64..191 takes
// the minimum output plus (next byte % 3) - 1.
std::vector<uint8_t> RequestSeed(bool bare, const std::vector<SeedRequest>& requests)
{
    std::vector<uint8_t> seed = {static_cast<uint8_t>(bare ? 1 : 0), static_cast<uint8_t>(requests.size() - 1)};
    for (const SeedRequest& r : requests) {
        const uint8_t inputLength = ZerloFindRequest(r.code)->minimumInput;
        seed.insert(seed.end(), {0, static_cast<uint8_t>(TableIndex(r.code)), 0, inputLength, 64, 1});
        const uint8_t words[] = {static_cast<uint8_t>(r.word0), static_cast<uint8_t>(r.word0 >> 8),
                                 static_cast<uint8_t>(r.word1), static_cast<uint8_t>(r.word1 >> 8)};
        seed.insert(seed.end(), words, words + inputLength);
    }
    return seed;
}

} // namespace

int WriteImageSeeds(int count, char** paths)
{
    const std::filesystem::path dir = paths[0];
    std::filesystem::create_directories(dir);
    std::vector<uint8_t> first;
    for (int i = 1; i < count; ++i) {
        std::ifstream in(paths[i], std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.size() < 0x400) throw std::runtime_error(std::string("no image in ") + paths[i]);
        WriteSeed(dir / std::filesystem::path(paths[i]).filename(), bytes);
        if (first.empty()) first = std::move(bytes);
    }
    for (const zfuzz::ImageChange& change : zfuzz::ImageChanges(first)) {
        if (!change.seed) continue;
        std::vector<uint8_t> bytes = first;
        change.change(bytes);
        WriteSeed(dir / change.name, bytes);
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc >= 4 && std::string(argv[1]) == "--images") return WriteImageSeeds(argc - 2, argv + 2);
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_seeds FIRMWARE_DIR REQUEST_DIR [default|PROFILE.json]...\n"
                             "       make_seeds --images DIR IMAGE.sys...\n");
        return 2;
    }
    const std::filesystem::path firmwareDir = argv[1];
    const std::filesystem::path requestDir = argv[2];
    std::filesystem::create_directories(firmwareDir);
    std::filesystem::create_directories(requestDir);

    for (int i = 3; i < argc; ++i) {
        const std::string source = argv[i];
        const bool builtIn = source == "default";
        const auto machine =
            zhost::BuildMachine(builtIn ? zhost::DefaultNotebookProfile() : zhost::LoadProfileFile(source));
        const std::string name = builtIn ? "default_notebook" : std::filesystem::path(source).stem().string();
        WriteSeed(firmwareDir / name, FirmwareSeed(*machine));
    }

    std::vector<SeedRequest> all;
    for (const ZerloRequestInfo& info : ZERLO_REQUESTS) {
        const uint16_t word1 = info.code == IOCTL_SIO_SET_FAN_LEVEL ? 12 : info.code == IOCTL_SMM_SET_FAN_STATE ? 2 : 0;
        const SeedRequest request = {info.code, 1, word1};
        all.push_back(request);
        WriteSeed(requestDir / info.name, RequestSeed(false, {request}));
    }
    WriteSeed(requestDir / "mixed_notebook_1", RequestSeed(false, {all.begin(), all.begin() + 8}));
    WriteSeed(requestDir / "mixed_notebook_2", RequestSeed(false, {all.begin() + 3, all.end()}));
    WriteSeed(requestDir / "mixed_bare", RequestSeed(true, {all.begin() + 3, all.end()}));
    WriteSeed(requestDir / "sio_detect_then_levels", RequestSeed(false, {{IOCTL_SIO_DETECT, 0, 0},
                                                                         {IOCTL_SIO_SET_FAN_LEVEL, 0, 63},
                                                                         {IOCTL_SIO_GET_FAN_LEVEL, 0, 0},
                                                                         {IOCTL_SIO_SET_FAN_LEVEL, 1, 7},
                                                                         {IOCTL_SIO_GET_FAN_LEVEL, 1, 0}}));
    return 0;
}
