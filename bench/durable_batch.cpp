// How much a durable replacement of many small files costs, by the way the
// syncs are grouped. Not linked to the library: each strategy is the bare
// system-call sequence, so that the numbers bound what the library can reach.
//
//   korv_durable_batch <dir> <files> [rounds] [window]
//
// Makes <files> existing targets of 1-16 KiB in 100 directories under <dir>
// (synced), then in interleaved rounds replaces every one of them with new
// content written beside it and renamed over it:
//   per-file   write, fdatasync, close, rename: one file after the other
//   batch      a window of files written, each one's writeback started with
//              sync_file_range(SYNC_FILE_RANGE_WRITE); then fdatasync of
//              each, renames, one fsync per directory touched
//   batch-nosfr the same without sync_file_range (what it buys)
//   syncfs     as batch, with one syncfs per window instead of the fdatasyncs
//   no-sync    write, close, rename: the lower bound, not durable
// A window is at most [window] files (1024 by default), so that no more
// descriptors are open at once. Prints medians of wall and CPU time.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Item {
    std::string dir;
    std::string target;
    std::string temporary;
    std::size_t size;
    int fd = -1;
};

[[noreturn]] void die(const std::string& what)
{
    std::fprintf(stderr, "korv_durable_batch: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

std::vector<char> content(std::size_t n, unsigned seed)
{
    std::vector<char> bytes(n);
    std::mt19937 random(seed);
    for (char& c : bytes)
        c = char('a' + random() % 26);
    return bytes;
}

void writeAll(int fd, const char* p, std::size_t n, const std::string& path)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0)
            die("write " + path);
        p += w;
        n -= std::size_t(w);
    }
}

int createBeside(Item& item)
{
    const int fd = ::open(item.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        die("create " + item.temporary);
    return fd;
}

void renameOver(const Item& item)
{
    if (::rename(item.temporary.c_str(), item.target.c_str()) != 0)
        die("rename " + item.target);
}

void syncDirectories(const std::set<std::string>& dirs)
{
    for (const std::string& d : dirs) {
        const int fd = ::open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || ::fsync(fd) != 0)
            die("fsync " + d);
        ::close(fd);
    }
}

enum class Strategy { PerFile, Batch, BatchNoStart, Syncfs, NoSync };
const char* const kNames[] = { "per-file", "batch", "batch-nosfr", "syncfs", "no-sync" };

void replaceAll(std::vector<Item>& items, Strategy s, std::size_t window, const std::vector<char>& data)
{
    if (s == Strategy::PerFile || s == Strategy::NoSync) {
        for (Item& item : items) {
            const int fd = createBeside(item);
            writeAll(fd, data.data(), item.size, item.temporary);
            if (s == Strategy::PerFile && ::fdatasync(fd) != 0)
                die("fdatasync");
            ::close(fd);
            renameOver(item);
        }
        return;
    }
    for (std::size_t begin = 0; begin < items.size(); begin += window) {
        const std::size_t end = std::min(items.size(), begin + window);
        std::set<std::string> dirs;
        for (std::size_t i = begin; i < end; ++i) {
            Item& item = items[i];
            item.fd = createBeside(item);
            writeAll(item.fd, data.data(), item.size, item.temporary);
            if (s != Strategy::BatchNoStart && ::sync_file_range(item.fd, 0, 0, SYNC_FILE_RANGE_WRITE) != 0)
                die("sync_file_range");
            dirs.insert(item.dir);
        }
        if (s == Strategy::Syncfs && ::syncfs(items[begin].fd) != 0)
            die("syncfs");
        for (std::size_t i = begin; i < end; ++i) {
            Item& item = items[i];
            if (s != Strategy::Syncfs && ::fdatasync(item.fd) != 0)
                die("fdatasync");
            ::close(item.fd);
            item.fd = -1;
        }
        for (std::size_t i = begin; i < end; ++i)
            renameOver(items[i]);
        syncDirectories(dirs);
    }
}

double cpuSeconds()
{
    rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <dir> <files> [rounds] [window]\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    const std::size_t count = std::strtoul(argv[2], nullptr, 10);
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    const std::size_t window = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1024;
    // A window's files stay open until its sync.
    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, window + 64));
    ::setrlimit(RLIMIT_NOFILE, &limit);

    const std::vector<char> data = content(16384, 7);
    std::mt19937 random(11);
    std::vector<Item> items(count);
    ::mkdir(root.c_str(), 0755);
    for (std::size_t i = 0; i < count; ++i) {
        Item& item = items[i];
        char name[64];
        std::snprintf(name, sizeof name, "/d%02zu", i % 100);
        item.dir = root + name;
        std::snprintf(name, sizeof name, "/f%05zu", i);
        item.target = item.dir + name;
        item.temporary = item.dir + "/." + (name + 1) + ".new";
        item.size = 1024 + random() % (16384 - 1024 + 1);
        ::mkdir(item.dir.c_str(), 0755);
        const int fd = ::open(item.target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            die("create " + item.target);
        writeAll(fd, data.data(), item.size, item.target);
        ::close(fd);
    }
    ::sync();

    const std::vector<Strategy> all
        = { Strategy::PerFile, Strategy::Batch, Strategy::BatchNoStart, Strategy::Syncfs, Strategy::NoSync };
    std::vector<std::vector<double>> wall(all.size()), cpu(all.size());
    std::mt19937 shuffle(4);
    for (int r = 0; r < rounds; ++r) {
        std::vector<Strategy> order = all;
        std::shuffle(order.begin(), order.end(), shuffle);
        for (Strategy s : order) {
            // The last strategy's renames and freed blocks reach the disk now, untimed.
            ::sync();
            const double cpu0 = cpuSeconds();
            const auto t0 = std::chrono::steady_clock::now();
            replaceAll(items, s, window, data);
            const auto t1 = std::chrono::steady_clock::now();
            wall[std::size_t(s)].push_back(std::chrono::duration<double>(t1 - t0).count());
            cpu[std::size_t(s)].push_back(cpuSeconds() - cpu0);
            // A long run shows it is moving.
            std::fprintf(stderr, "  round %d %-12s %8.3f s\n", r + 1, kNames[std::size_t(s)],
                wall[std::size_t(s)].back());
        }
    }
    ::sync();
    std::printf("%zu files of 1-16 KiB in 100 directories, window %zu, %d rounds\n", count, window, rounds);
    std::printf("%-12s %9s %9s %11s %9s\n", "strategy", "wall s", "cpu s", "per file us", "/per-file");
    const double base = median(wall[0]);
    for (Strategy s : all) {
        const double w = median(wall[std::size_t(s)]);
        std::printf("%-12s %9.3f %9.3f %11.1f %9.3f\n", kNames[std::size_t(s)], w, median(cpu[std::size_t(s)]),
            1e6 * w / double(count), w / base);
    }
    return 0;
}
