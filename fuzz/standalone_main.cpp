// A main for the fuzz targets where libFuzzer is not available (another
// compiler, a cross build run under an emulator): it calls the target's
// LLVMFuzzerTestOneInput once on the empty input, as libFuzzer does first,
// then on every file named on the command line or found under a named
// directory (recursively, in path order), and prints how many inputs ran.
// Each input is passed in a heap buffer of exactly its size, as libFuzzer
// passes it, so that a sanitizer build catches reads past its end.
//
// Build with the target, never with -fsanitize=fuzzer (which brings its own
// main); diff_cosine.cpp also needs -DKLOV_WITH_LIBFUZZER to leave out its
// random-input main:
//   g++ -std=c++20 -O1 -ffp-contract=off -Isrc -DKLOV_WITH_LIBFUZZER fuzz/fuzz_json_text.cpp
//       fuzz/standalone_main.cpp src/json/*.cpp src/graph/*.cpp src/vector/*.cpp
//       src/reference/*.cpp -o fuzz_json_text
//   ./fuzz_json_text fuzz/corpus/json
// (each command on one line)
//
// Exit status: 0 when every input ran; 1 when a target returned a value
// libFuzzer refuses (anything but 0 and -1); 2 when a path cannot be read.  A
// target that finds a fault aborts, and the input it was running is named on
// stderr first.

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#if __has_include(<unistd.h>)
#include <unistd.h>
#define KLOV_DRIVER_HAVE_WRITE 1
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The name of the input being run, for the crash report.
char g_current[4096] = "(the empty input)";

void put_error(const char* text) {
#ifdef KLOV_DRIVER_HAVE_WRITE
    ssize_t written = ::write(2, text, std::strlen(text));
    (void)written;
#else
    std::fputs(text, stderr);
#endif
}

void on_fatal_signal(int sig) {
    put_error("standalone driver: fatal signal while running ");
    put_error(g_current);
    put_error("\n");
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void set_current(const std::string& name) {
    const std::size_t n = std::min(name.size(), sizeof g_current - 1);
    std::memcpy(g_current, name.data(), n);
    g_current[n] = '\0';
}

bool read_file(const fs::path& path, std::vector<char>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Runs one input from a buffer of exactly its size; false when the target
// returned a value libFuzzer does not accept.
bool run_one(const char* bytes, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    if (size != 0) std::memcpy(copy.get(), bytes, size);
    const int rc = LLVMFuzzerTestOneInput(copy.get(), size);
    if (rc != 0 && rc != -1) {
        std::fprintf(stderr, "standalone driver: %s: LLVMFuzzerTestOneInput returned %d\n", g_current, rc);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int sig : {SIGABRT, SIGSEGV, SIGFPE, SIGILL}) std::signal(sig, on_fatal_signal);

    // Every input first, so that a missing path fails before anything runs.
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> found;
            for (fs::recursive_directory_iterator it(arg, ec), end; !ec && it != end; it.increment(ec)) {
                if (it->is_regular_file(ec)) found.push_back(it->path());
            }
            if (ec) {
                std::fprintf(stderr, "standalone driver: %s: %s\n", argv[i], ec.message().c_str());
                return 2;
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (fs::is_regular_file(arg, ec)) {
            files.push_back(arg);
        } else {
            std::fprintf(stderr, "standalone driver: %s: no such file or directory\n", argv[i]);
            return 2;
        }
    }

    if (!run_one("", 0)) return 1;
    std::vector<char> bytes;
    for (const fs::path& path : files) {
        set_current(path.string());
        if (!read_file(path, bytes)) {
            std::fprintf(stderr, "standalone driver: %s: cannot read\n", g_current);
            return 2;
        }
        if (!run_one(bytes.data(), bytes.size())) return 1;
    }
    const std::string name = argc > 0 ? fs::path(argv[0]).filename().string() : "fuzz target";
    std::printf("%s: %zu inputs ran (the empty input and %zu files)\n", name.c_str(), files.size() + 1, files.size());
    return 0;
}
