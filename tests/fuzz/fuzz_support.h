// What the fuzz targets share: a scratch folder for the files they write, and
// standard output sent to /dev/null (the routines print a lot).
#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fuzz_support {

class Scratch {
public:
    Scratch() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "korvana-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) abort();
        dir_ = pattern;
        if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string path(const char *name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
};

inline void write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || (size > 0 && fwrite(data, size, 1, f) != 1) || fclose(f) != 0) abort();
}

inline std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) abort();
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(f);
    return bytes;
}

}  // namespace fuzz_support

#endif  // TESTS_FUZZ_FUZZ_SUPPORT_H
