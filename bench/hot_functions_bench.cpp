// Micro-benchmarks of the functions that every file passes through: the
// comparison of a file with an equal copy, and the fitting of a name into the
// console and log columns.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "compare/file_compare.h"
#include "report/column_fit.h"

namespace {

// Two files of `size` equal random bytes in a fresh directory below
// /var/tmp, removed again when the benchmark ends.
class EqualFiles {
  public:
    explicit EqualFiles(std::size_t size) {
        char pattern[] = "/var/tmp/trelvik-hot-bench-XXXXXX";
        directory_ = ::mkdtemp(pattern);
        std::string bytes(size, '\0');
        std::mt19937_64 random(size);
        for (char& byte : bytes) {
            byte = static_cast<char>(random());
        }
        std::ofstream(path_a()) << bytes;
        std::ofstream(path_b()) << bytes;
    }
    ~EqualFiles() { std::filesystem::remove_all(directory_); }
    EqualFiles(const EqualFiles&) = delete;
    EqualFiles& operator=(const EqualFiles&) = delete;

    std::string path_a() const { return directory_ + "/a"; }
    std::string path_b() const { return directory_ + "/b"; }

  private:
    std::string directory_;
};

// Both files are read once before timing, so the figures are those of a
// warm page cache: system calls and memcmp, no disk.
void BM_files_equal(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const EqualFiles files(size);
    const std::string a = files.path_a();
    const std::string b = files.path_b();
    if (files_equal(a, b) != FILES_IDENTICAL) {
        state.SkipWithError("the two files are not equal");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(files_equal(a, b));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * size));
}
BENCHMARK(BM_files_equal)->Arg(0)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20)->Arg(64 << 20);

// A name of `length` characters, a third of them two-byte umlauts, in
// directories, as long names on real disks look.
std::string long_name(std::size_t length) {
    const std::string pieces[] = {"Über", "sicht", "/", "Größe", "_", "straße", "2024", "Ä"};
    std::string name;
    std::size_t characters = 0;
    for (std::size_t i = 0; characters < length; ++i) {
        const std::string& piece = pieces[i % std::size(pieces)];
        name += piece;
        characters += utf8_length(piece);
    }
    return name;
}

// The progress line's name: 61 characters wide on a 100-column console.
void BM_shorten_too_long_string(benchmark::State& state) {
    const std::string name = long_name(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(shorten_too_long_string(name, 61));
    }
}
BENCHMARK(BM_shorten_too_long_string)->Arg(40)->Arg(120)->Arg(1000);

// The log line's name, right-aligned in 80 characters or cut at the front.
void BM_fehlerausgabe(benchmark::State& state) {
    const std::string name = long_name(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(fehlerausgabe(name, 80));
    }
}
BENCHMARK(BM_fehlerausgabe)->Arg(40)->Arg(120)->Arg(1000);

}  // namespace
