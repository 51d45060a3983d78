// Runs one command and records its wall time, user and system time and peak
// resident memory: timed <result-file> <stdout-file|-> <command> [args...].
// A process inherits the peak memory of the one that forked it, so the
// benchmark driver (a large Python process) starts commands through this
// small one.
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <result-file> <stdout-file|-> <command> [args...]\n", argv[0]);
        return 2;
    }
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        if (argv[2][0] != '-' || argv[2][1] != '\0') {
            int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
                _exit(127);
        }
        execvp(argv[3], argv + 3);
        _exit(127);
    }
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double wall = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
    std::FILE* f = std::fopen(argv[1], "w");
    if (!f)
        return 1;
    // ru_maxrss is in KiB on Linux.
    std::fprintf(f, "%.6f %.6f %.6f %ld\n", wall, seconds(usage.ru_utime), seconds(usage.ru_stime),
        usage.ru_maxrss * 1024L);
    std::fclose(f);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
