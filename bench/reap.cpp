// bench_reap: runs one command and reports, when it and all its descendants have ended, the
// wall time until the command itself ended, the CPU time of the whole process tree and the
// largest peak resident set among its processes.
//
//   bench_reap -o REPORT [-d] -- COMMAND [ARGS...]
//
// It makes itself the reaper of orphaned descendants, so it collects the resource usage of
// processes whose own parent would never have waited for them. With -d ("detach") it ends the
// command as soon as the command has forked its first child: a server that forks a child per
// transfer and ignores SIGCHLD (whose children the kernel reaps unseen) thereby hands that
// child to this program, and the child's CPU time is counted.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_stop(int) {
    stop_requested = 1;
}

double seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

double monotonic_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The first child listed for `pid`, or 0 while it has none.
pid_t first_child(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(pid),
                  static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr)
        return 0;
    int child = 0;
    if (std::fscanf(f, "%d", &child) != 1)
        child = 0;
    std::fclose(f);
    return child;
}

int usage() {
    std::fputs("usage: bench_reap -o REPORT [-d] -- COMMAND [ARGS...]\n", stderr);
    return 2;
}

// What the command and its descendants used, once all of them have ended.
struct Accounting {
    double ended = 0;
    int command_status = -1;
    double cpu = 0;
    long peak_kib = 0;
};

// Waits for the command to fork its transfer child, then ends the command; returns the child
// (0 when the command ended first, or a stop came).
pid_t hand_over(pid_t command) {
    const timespec pause = {0, 200000};
    pid_t handed_over = 0;
    while (handed_over == 0 && !stop_requested) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        if (waitid(P_PID, static_cast<id_t>(command), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == command)
            break; // ended before forking: reaped below like any other
        handed_over = first_child(command);
        if (handed_over == 0)
            nanosleep(&pause, nullptr);
    }
    if (handed_over != 0)
        kill(command, SIGTERM);
    return handed_over;
}

// Reaps every descendant, passing a stop on to the command and its handed-over child.
Accounting reap_all(pid_t command, pid_t handed_over) {
    Accounting a;
    bool forwarded = false;
    for (;;) {
        if (stop_requested && !forwarded) {
            kill(command, SIGTERM);
            if (handed_over != 0)
                kill(handed_over, SIGTERM);
            forwarded = true;
        }
        int status = 0;
        rusage ru;
        pid_t pid = wait4(-1, &status, 0, &ru);
        if (pid < 0) {
            if (errno == EINTR)
                continue;
            return a; // no descendants left
        }
        a.cpu += seconds(ru.ru_utime) + seconds(ru.ru_stime);
        if (ru.ru_maxrss > a.peak_kib)
            a.peak_kib = ru.ru_maxrss;
        if (pid == command) {
            a.ended = monotonic_seconds();
            a.command_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const char* report_path = nullptr;
    bool detach = false;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            report_path = argv[++i];
        else if (std::strcmp(argv[i], "-d") == 0)
            detach = true;
        else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else
            return usage();
    }
    if (report_path == nullptr || i >= argc)
        return usage();

    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("bench_reap: prctl");
        return 2;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    const double started = monotonic_seconds();
    const pid_t command = fork();
    if (command < 0) {
        std::perror("bench_reap: fork");
        return 2;
    }
    if (command == 0) {
        execvp(argv[i], argv + i);
        std::perror("bench_reap: exec");
        _exit(127);
    }
    const pid_t handed_over = detach ? hand_over(command) : 0;
    const Accounting a = reap_all(command, handed_over);

    std::FILE* report = std::fopen(report_path, "w");
    if (report == nullptr) {
        std::perror("bench_reap: report");
        return 2;
    }
    std::fprintf(report, "status %d\nwall %.6f\ncpu %.6f\npeak_kib %ld\nhanded_over %d\n",
                 a.command_status, a.ended - started, a.cpu, a.peak_kib, handed_over != 0 ? 1 : 0);
    std::fclose(report);
    return 0;
}
