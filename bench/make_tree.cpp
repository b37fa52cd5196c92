// Makes the benchmark's folder trees, fast and the same every time for the same arguments.
//
//   make_tree small ROOT FILES [SEED]   FILES files of 100 B to 8 KB, 100 to a folder, the folders
//                                       two levels deep (up to 100 folders in each top folder)
//   make_tree change ROOT PERCENT       rewrites every (100/PERCENT)th file of a small tree in
//                                       place: other bytes, another size, a later last-write time
//   make_tree big ROOT FOLDER FILES MIB one folder holding FILES files that share MIB MiB
//
// Times are set explicitly so that a copy that keeps them is seen as equal by every tool.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint64_t g_state = 0x9E3779B97F4A7C15ull;

uint64_t Next() {
    g_state += 0x9E3779B97F4A7C15ull;
    uint64_t z = g_state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "make_tree: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void MakeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) Fail(path);
}

// The root and every missing folder above it.
void MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        MakeFolder(path.substr(0, slash));
    }
    MakeFolder(path);
}

void WriteFile(const std::string& path, const char* data, size_t size, int64_t seconds) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Fail(path);
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0) Fail(path);
        data += n;
        size -= static_cast<size_t>(n);
    }
    struct timespec times[2] = {{seconds, 0}, {seconds, static_cast<long>(Next() % 1000000000)}};
    if (futimens(fd, times) != 0) Fail(path);
    close(fd);
}

std::vector<char> RandomBytes(size_t size) {
    std::vector<char> bytes(size);
    for (size_t i = 0; i < size; i += 8) {
        uint64_t v = Next();
        std::memcpy(bytes.data() + i, &v, size - i < 8 ? size - i : 8);
    }
    return bytes;
}

constexpr int kFilesPerFolder = 100;
constexpr int kFoldersPerTop = 100;
constexpr int64_t kBaseTime = 1700000000;  // November 2023

std::string SmallFilePath(const std::string& root, long index) {
    long folder = index / kFilesPerFolder;
    char text[96];
    std::snprintf(text, sizeof text, "/top%03ld/folder%03ld/document-%07ld.dat", folder / kFoldersPerTop,
                  folder % kFoldersPerTop, index);
    return root + text;
}

void MakeSmall(const std::string& root, long files, uint64_t seed) {
    g_state ^= seed;
    std::vector<char> pool = RandomBytes(1 << 20);
    MakeFolders(root);
    for (long i = 0; i < files; ++i) {
        long folder = i / kFilesPerFolder;
        if (i % kFilesPerFolder == 0) {
            char text[64];
            std::snprintf(text, sizeof text, "/top%03ld", folder / kFoldersPerTop);
            if (folder % kFoldersPerTop == 0) MakeFolder(root + text);
            std::snprintf(text, sizeof text, "/top%03ld/folder%03ld", folder / kFoldersPerTop, folder % kFoldersPerTop);
            MakeFolder(root + text);
        }
        size_t size = 100 + Next() % (8192 - 100 + 1);
        size_t offset = Next() % (pool.size() - size);
        WriteFile(SmallFilePath(root, i), pool.data() + offset, size, kBaseTime - static_cast<int64_t>(Next() % 31536000));
    }
}

void Change(const std::string& root, long percent) {
    std::vector<char> pool = RandomBytes(1 << 20);
    long step = 100 / percent;
    for (long i = 0;; i += step) {
        std::string path = SmallFilePath(root, i);
        struct stat st;
        if (stat(path.c_str(), &st) != 0) break;
        size_t size = 100 + Next() % (8192 - 100 + 1);
        size_t offset = Next() % (pool.size() - size);
        WriteFile(path, pool.data() + offset, size, kBaseTime + 86400 + static_cast<int64_t>(Next() % 86400));
    }
}

void MakeBig(const std::string& root, const std::string& folder, long files, long mib) {
    MakeFolders(root + "/" + folder);
    uint64_t total = static_cast<uint64_t>(mib) << 20;
    uint64_t each = total / static_cast<uint64_t>(files);
    std::vector<char> chunk = RandomBytes(8u << 20);
    for (long i = 0; i < files; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/part-%05ld.bin", i);
        std::string path = root + "/" + folder + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) Fail(path);
        uint64_t left = i == files - 1 ? total - each * static_cast<uint64_t>(files - 1) : each;
        while (left > 0) {
            size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
            chunk[0] = static_cast<char>(i);  // no two chunks of a file alike at the start
            if (write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) Fail(path);
            left -= n;
        }
        struct timespec times[2] = {{kBaseTime, 0}, {kBaseTime - i, 0}};
        if (futimens(fd, times) != 0) Fail(path);
        close(fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "small" && (argc == 4 || argc == 5)) {
        MakeSmall(argv[2], std::atol(argv[3]), argc == 5 ? std::strtoull(argv[4], nullptr, 10) : 1);
    } else if (mode == "change" && argc == 4 && std::atol(argv[3]) > 0) {
        Change(argv[2], std::atol(argv[3]));
    } else if (mode == "big" && argc == 6 && std::atol(argv[4]) > 0) {
        MakeBig(argv[2], argv[3], std::atol(argv[4]), std::atol(argv[5]));
    } else {
        std::fprintf(stderr,
                     "use: make_tree small ROOT FILES [SEED] | change ROOT PERCENT | big ROOT FOLDER FILES MIB\n");
        return 2;
    }
    return 0;
}
