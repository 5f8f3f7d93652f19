// One service refresh over the whole process table, with 2,000 extra idle
// processes started for the run (--idle=N for another count, to see how the
// cost grows with the table), against two others reading the same table:
// the floor of any scan, reading every /proc/<pid>/stat once (goal: at most
// 1.2 times that), and the host's process lister ("ps -e -o pid,comm,args").
// Prints the ratios.
#include "kxsinit.h"
#include "kxsservices.h"
#include "utils.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kIdleProcesses = 2000;
constexpr int kMostIdleProcesses = 20000;
constexpr const char *kIdleName = "kxbenchidle";

// The idle processes: copies of sleep that die with the benchmark.
class IdleProcesses {
public:
    explicit IdleProcesses(int count)
    {
        std::string pattern = (fs::temp_directory_path() / "kxsmon-bench.XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        std::string program = dir_ + "/" + kIdleName;
        fs::copy_file("/bin/sleep", program);
        fs::permissions(program, fs::perms::owner_all);
        for (int i = 0; i < count; ++i) {
            pid_t pid = fork();
            if (pid < 0)
                throw std::runtime_error("fork failed after " + std::to_string(i) + " processes");
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                int null = open("/dev/null", O_RDWR);
                dup2(null, 0);
                dup2(null, 1);
                execl(program.c_str(), kIdleName, "3600", static_cast<char *>(nullptr));
                _exit(127);
            }
            pids_.push_back(pid);
        }
        settle();
    }
    // Waits until every process runs the idle program, so that no benchmark
    // pays for the others' start (about 10 seconds at most).
    void settle() const
    {
        for (pid_t pid : pids_) {
            std::string comm = "/proc/" + std::to_string(pid) + "/comm";
            for (int tries = 0; tries < 1000; ++tries) {
                char name[32] = {};
                int fd = open(comm.c_str(), O_RDONLY | O_CLOEXEC);
                ssize_t got = fd < 0 ? -1 : read(fd, name, sizeof name - 1);
                if (fd >= 0)
                    close(fd);
                if (got > 0 && std::string(name, got) == std::string(kIdleName) + "\n")
                    break;
                usleep(10000);
            }
        }
    }
    ~IdleProcesses()
    {
        for (pid_t pid : pids_)
            kill(pid, SIGKILL);
        for (pid_t pid : pids_)
            waitpid(pid, nullptr, 0);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

private:
    std::string dir_;
    std::vector<pid_t> pids_;
};

// A server's usual services: none of them matches an idle process, two match
// by arguments, so the scan does what it does on a real server.
void add_services(kx::Handle &handle)
{
    kx::kxs_addService(&handle, "kxauthd", nullptr, nullptr, "kxauthd-cb", nullptr, nullptr, 7010,
                       1, nullptr, "Authentication Manager");
    kx::kxs_addService(&handle, "kxsessiond", nullptr, nullptr, nullptr, nullptr, nullptr, 7007, 1,
                       nullptr, "Session Manager");
    kx::kxs_addService(&handle, "dtlogin", nullptr, nullptr, nullptr, nullptr,
                       kx::find_check_routine("dtlogin"), 0, 0, nullptr, "Display Manager");
    kx::kxs_addService(&handle, "kxscreventd", nullptr, nullptr, nullptr, nullptr,
                       kx::find_check_routine("kxscreventd"), 0, 0, nullptr, "Card reader events");
    kx::kxs_addService(&handle, "kxpolicyd", "java", "kxpolicy", nullptr, nullptr, nullptr, 0, 0,
                       nullptr, "Policy");
    kx::kxs_addService(&handle, "kxwebd", "java", "kxweb", nullptr, nullptr, nullptr, 0, 0,
                       nullptr, "Web administration");
    kx::kxs_addService(&handle, "kxdhcpd", "dhcpd", nullptr, nullptr, nullptr, nullptr, 0, 0,
                       nullptr, "DHCP server");
}

void BM_RefreshServices(benchmark::State &state)
{
    kx::Handle handle;
    add_services(handle);
    for (auto _ : state) {
        handle.servicesRefreshed = 0;
        benchmark::DoNotOptimize(kx::kxs_refreshServices(&handle));
    }
    kx::kxs_freeServices(&handle);
}

void BM_ProcessLister(benchmark::State &state)
{
    char buffer[65536];
    for (auto _ : state) {
        FILE *ps = popen("ps -e -o pid,comm,args", "r");
        if (!ps) {
            state.SkipWithError("ps could not be started");
            break;
        }
        size_t total = 0;
        while (size_t n = fread(buffer, 1, sizeof buffer, ps))
            total += n;
        if (pclose(ps) != 0 || total == 0) {
            state.SkipWithError("ps failed");
            break;
        }
        benchmark::DoNotOptimize(total);
    }
}

// The least a scan can do: list the table and read each process's record once.
void BM_StatFloor(benchmark::State &state)
{
    char path[sizeof "/proc//stat" + sizeof(dirent::d_name)];
    char record[1024];
    for (auto _ : state) {
        DIR *proc = opendir("/proc");
        if (!proc) {
            state.SkipWithError("/proc cannot be listed");
            break;
        }
        size_t total = 0;
        while (dirent *entry = readdir(proc)) {
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
                continue;
            snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
            int fd = open(path, O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            ssize_t got = read(fd, record, sizeof record);
            total += got > 0 ? static_cast<size_t>(got) : 0;
            close(fd);
        }
        closedir(proc);
        benchmark::DoNotOptimize(total);
    }
}

BENCHMARK(BM_RefreshServices)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProcessLister)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StatFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps each benchmark's mean real time per iteration.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                seconds[run.benchmark_name()] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

// Takes --idle=N out of the arguments that go on to the benchmark library.
int idle_count(int &argc, char **argv)
{
    int count = kIdleProcesses;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--idle=", 7) == 0)
            count = std::clamp(atoi(argv[i] + 7), 0, kMostIdleProcesses);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    return count;
}

size_t process_count()
{
    size_t count = 0;
    if (DIR *proc = opendir("/proc")) {
        while (dirent *entry = readdir(proc))
            count += entry->d_name[0] >= '0' && entry->d_name[0] <= '9';
        closedir(proc);
    }
    return count;
}

}  // namespace

int main(int argc, char **argv)
{
    // Diagnostics of the scan (the pid file is absent here) are not measured.
    kx::set_diagnostic_sink([](int, const std::string &) {});
    const int count = idle_count(argc, argv);
    IdleProcesses idle(count);
    const size_t processes = process_count();
    printf("%d idle processes started, %zu in the table\n", count, processes);

    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto refresh = reporter.seconds.find("BM_RefreshServices/real_time");
    auto ps = reporter.seconds.find("BM_ProcessLister/real_time");
    auto floor = reporter.seconds.find("BM_StatFloor/real_time");
    if (refresh == reporter.seconds.end() || ps == reporter.seconds.end() || ps->second <= 0 ||
        floor == reporter.seconds.end() || floor->second <= 0) {
        fprintf(stderr, "refresh_bench: every benchmark must run to give the ratios\n");
        return 1;
    }
    printf("refresh %.2f ms, stat floor %.2f ms: ratio refresh/floor = %.2f (goal: at most 1.2)\n",
           refresh->second * 1e3, floor->second * 1e3, refresh->second / floor->second);
    printf("refresh %.2f ms, ps %.2f ms: ratio refresh/ps = %.2f (goal: at most 1.0)\n",
           refresh->second * 1e3, ps->second * 1e3, refresh->second / ps->second);
    printf("per process: refresh %.2f us, stat floor %.2f us\n",
           refresh->second * 1e6 / static_cast<double>(processes),
           floor->second * 1e6 / static_cast<double>(processes));
    return 0;
}
