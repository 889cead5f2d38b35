// A main for the fuzz targets where libFuzzer cannot be linked: under MemorySanitizer its runtime, built
// against the uninstrumented C++ library, shares template instances with the targets and would report
// its own strings. It replays the given files and folders once, then feeds random mutations of them for
// -seconds=N (no coverage feedback). A sanitizer report ends the process; the input that caused it is
// written first to -artifact_prefix=PATH, as libFuzzer does.
//   TARGET [-seconds=N] [-seed=N] [-artifact_prefix=PATH] FILE_OR_FOLDER...
// Plain C I/O only: what the uninstrumented C++ library writes would read as uninitialised here.
#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData);
extern "C" void __msan_set_death_callback(void (*)());

namespace {

constexpr std::size_t MAX_INPUT_SIZE = 64 * 1024;

std::vector<std::uint8_t> g_current;
const char* g_szArtifactPrefix = "./";

void WriteCurrentInput() {
    char szPath[4096];
    std::snprintf(szPath, sizeof(szPath), "%sfinding", g_szArtifactPrefix);
    if (std::FILE* pFile = std::fopen(szPath, "wb")) {
        std::fwrite(g_current.data(), 1, g_current.size(), pFile);
        std::fclose(pFile);
        std::fprintf(stderr, "input written to %s\n", szPath);
    }
}

bool ReadFile(const char* szPath, std::vector<std::uint8_t>& bytes) {
    std::FILE* pFile = std::fopen(szPath, "rb");
    if (pFile == nullptr) {
        return false;
    }
    std::uint8_t buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pFile)) > 0 && bytes.size() < MAX_INPUT_SIZE) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    std::fclose(pFile);
    return true;
}

void AddInputs(const char* szPath, std::vector<std::vector<std::uint8_t>>& inputs) {
    if (DIR* pDir = opendir(szPath)) {
        while (const dirent* pEntry = readdir(pDir)) {
            if (pEntry->d_name[0] == '.') {
                continue;
            }
            char szChild[4096];
            std::snprintf(szChild, sizeof(szChild), "%s/%s", szPath, pEntry->d_name);
            AddInputs(szChild, inputs);
        }
        closedir(pDir);
        return;
    }
    std::vector<std::uint8_t> bytes;
    if (ReadFile(szPath, bytes)) {
        inputs.push_back(std::move(bytes));
    }
}

void Run(const std::vector<std::uint8_t>& input) {
    g_current = input;
    LLVMFuzzerTestOneInput(g_current.data(), g_current.size());
}

// The length and offset fields of the decoders are little-endian 32-bit words; these values sit at
// their edges.
constexpr std::uint32_t EDGE_VALUES[] = {0, 1, 0x7F, 0x80, 0xFF, 0x100, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};

void Mutate(std::vector<std::uint8_t>& bytes, std::mt19937& random) {
    auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % (n == 0 ? 1 : n)); };
    switch (random() % 6) {
        case 0:
            if (!bytes.empty()) {
                bytes[pick(bytes.size())] ^= static_cast<std::uint8_t>(1u << (random() % 8));
            }
            break;
        case 1:
            if (!bytes.empty()) {
                bytes[pick(bytes.size())] = static_cast<std::uint8_t>(random());
            }
            break;
        case 2:
            if (bytes.size() < MAX_INPUT_SIZE) {
                bytes.insert(bytes.begin() + pick(bytes.size() + 1), static_cast<std::uint8_t>(random()));
            }
            break;
        case 3:
            if (!bytes.empty()) {
                const std::size_t nAt = pick(bytes.size());
                bytes.erase(bytes.begin() + nAt, bytes.begin() + nAt + 1 + pick(bytes.size() - nAt));
            }
            break;
        case 4:
            if (bytes.size() >= 4) {
                const std::uint32_t dwValue = EDGE_VALUES[pick(std::size(EDGE_VALUES))];
                std::memcpy(bytes.data() + pick(bytes.size() - 3), &dwValue, 4);
            }
            break;
        default:
            if (!bytes.empty() && bytes.size() < MAX_INPUT_SIZE / 2) {
                const std::size_t nFrom = pick(bytes.size());
                const std::size_t nLength = 1 + pick(bytes.size() - nFrom);
                const std::vector<std::uint8_t> chunk(bytes.begin() + nFrom, bytes.begin() + nFrom + nLength);
                bytes.insert(bytes.begin() + pick(bytes.size() + 1), chunk.begin(), chunk.end());
            }
            break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    long nSeconds = 0;
    unsigned long nSeed = 1;
    std::vector<std::vector<std::uint8_t>> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-seconds=", 9) == 0) {
            nSeconds = std::strtol(argv[i] + 9, nullptr, 10);
        } else if (std::strncmp(argv[i], "-seed=", 6) == 0) {
            nSeed = std::strtoul(argv[i] + 6, nullptr, 10);
        } else if (std::strncmp(argv[i], "-artifact_prefix=", 17) == 0) {
            g_szArtifactPrefix = argv[i] + 17;
        } else {
            const std::size_t nBefore = inputs.size();
            AddInputs(argv[i], inputs);
            if (inputs.size() == nBefore) {
                std::fprintf(stderr, "no input read from %s\n", argv[i]);
                return 2;
            }
        }
    }
    __msan_set_death_callback(WriteCurrentInput);

    for (const auto& input : inputs) {
        Run(input);
    }
    std::fprintf(stderr, "replayed: %zu\n", inputs.size());

    unsigned long long nRuns = 0;
    if (nSeconds > 0) {
        inputs.emplace_back();  // Mutations of nothing grow inputs of their own.
        std::mt19937 random(static_cast<std::mt19937::result_type>(nSeed));
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(nSeconds);
        while (std::chrono::steady_clock::now() < end) {
            for (int i = 0; i < 64; ++i, ++nRuns) {
                std::vector<std::uint8_t> input = inputs[random() % inputs.size()];
                for (int nSteps = 1 + static_cast<int>(random() % 4); nSteps > 0; --nSteps) {
                    Mutate(input, random);
                }
                Run(input);
            }
        }
    }
    std::fprintf(stderr, "mutated runs: %llu\n", nRuns);
    return 0;
}
