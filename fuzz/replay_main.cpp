// Replays kept fuzz inputs through a harness's LLVMFuzzerTestOneInput without
// libFuzzer: every file named on the command line, and every regular file
// inside a named directory (in name order, so a failure is reproducible). A
// harness that finds a disagreement aborts, which fails the test.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", p.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the file's length, so reads past the end are caught
    // by the sanitizers as they would be under the fuzzer.
    std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    bool ok = true;
    for (int k = 1; k < argc; ++k) {
        const std::filesystem::path arg(argv[k]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            std::vector<std::filesystem::path> files;
            for (const auto& e : std::filesystem::directory_iterator(arg, ec)) {
                if (e.is_regular_file()) files.push_back(e.path());
            }
            if (ec) {
                std::fprintf(stderr, "cannot list %s: %s\n", arg.c_str(), ec.message().c_str());
                ok = false;
            }
            std::sort(files.begin(), files.end());
            for (const auto& f : files) {
                ok = replay_file(f) && ok;
                ++replayed;
            }
        } else if (std::filesystem::is_regular_file(arg, ec)) {
            ok = replay_file(arg) && ok;
            ++replayed;
        } else {
            std::fprintf(stderr, "no such corpus: %s\n", arg.c_str());
            ok = false;
        }
    }
    // The empty input as well: the harnesses must cope with it.
    LLVMFuzzerTestOneInput(nullptr, 0);
    std::printf("replayed %zu inputs\n", replayed);
    return ok ? 0 : 1;
}
