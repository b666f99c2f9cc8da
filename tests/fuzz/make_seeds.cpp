// Writes the fuzz targets' seed corpora with the project's LAS fixture writer:
// one small file of each file type, with and without variable-length records.
//
// Usage: make_seeds FOLDER   (makes FOLDER/<target>/seed-N for each target)

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "las_fixture.h"

namespace {

std::vector<fixture::Bytes> las_files() {
    std::vector<fixture::Bytes> files;
    const std::pair<uint8_t, uint8_t> types[] = {{0, 0}, {0, 1}, {1, 0}, {1, 1},
                                                 {2, 0}, {2, 1}, {2, 2}, {2, 3}};
    const std::vector<fixture::Point> points = {
        {100, 200, 300, 1}, {-5, 7, 0, 2}, {2000000, -3000000, 45, 0x13}, {0, 0, 0, 7}};
    for (const auto &[minor, format] : types) {
        fixture::LasFile las = fixture::make_las(minor, format, points);
        files.push_back(fixture::to_bytes(las));
        fixture::add_vlr(las, 34735, fixture::Bytes{1, 0, 1, 0, 0, 0, 1, 0});
        las.tail = {1, 2, 3};
        files.push_back(fixture::to_bytes(las));
    }
    return files;
}

void write_corpus(const std::filesystem::path &dir, const std::vector<fixture::Bytes> &seeds) {
    std::filesystem::create_directories(dir);
    for (size_t k = 0; k < seeds.size(); ++k) {
        fixture::write_file(dir / ("seed-" + std::to_string(k)), seeds[k]);
    }
}

fixture::Bytes with_numbers(const std::vector<double> &numbers, const fixture::Bytes &las) {
    fixture::Bytes bytes(numbers.size() * sizeof(double));
    memcpy(bytes.data(), numbers.data(), bytes.size());
    bytes.insert(bytes.end(), las.begin(), las.end());
    return bytes;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        printf("Usage: make_seeds FOLDER\n");
        return 1;
    }
    const std::filesystem::path root = argv[1];
    const std::vector<fixture::Bytes> files = las_files();
    write_corpus(root / "fuzz_check_las", files);
    write_corpus(root / "fuzz_update_header", files);

    std::vector<fixture::Bytes> moves;
    const std::vector<std::vector<double>> transforms = {{10.5, -20.25, 1.5, 30, 5, 6},
                                                         {0, 0, 1, 0, 0, 0},
                                                         {1e7, 0, 0, 0, 0, 0},
                                                         {0, 0, 0, 90, 0, 0}};
    for (size_t k = 0; k < files.size(); ++k) {
        moves.push_back(with_numbers(transforms[k % transforms.size()], files[k]));
    }
    write_corpus(root / "fuzz_cloudmove", moves);

    // Key arrays: a byte that picks the key type and depth, then the keys.
    const auto keys = [](uint8_t pick, const auto &values) {
        fixture::Bytes bytes{pick};
        const auto *raw = reinterpret_cast<const uint8_t *>(values.data());
        bytes.insert(bytes.end(), raw, raw + values.size() * sizeof(values[0]));
        return bytes;
    };
    write_corpus(root / "fuzz_sorts",
                 {keys(0x78, std::vector<int32_t>{9, -3, 7, 7, 0, -3, 12, 5}),
                  keys(0x00, std::vector<int32_t>{2, 2, 2, 2, 1}),
                  keys(0x79, std::vector<double>{9, -3, 7, 7, 0, -0.0, NAN, 5, 0.0}),
                  keys(0x41, std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13})});
    return 0;
}
