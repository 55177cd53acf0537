// Start-up benchmark: the console against two bare Qt windows of the same size, and
// against its own controls made with plain Qt.
//
//   spawn ── probe process: QApplication, window, show ── first frame painted ──
//            "frame <peak KiB>" ──> the driver stops the clock here
//
// Each probe runs in a child process of its own; the driver runs the three in turn, a
// round at a time with the order turning every round, and compares medians. Wall time
// runs from spawn to the report of the first painted frame; memory is the peak resident
// set the child read at that moment, and CPU time what its threads had used by then
// (shown for reference: it depends less on how busy the machine is than wall time). The yardstick
// is the bare window holding one Chinese label: any window with Chinese text pays for reading the
// font configuration and for a font with the Han glyphs, so the goal is to stay within 1.10 times
// it in both. The empty bare window shows what Qt itself costs. The console's 31 controls
// made with plain Qt calls and nothing else split the rest: what the console pays beyond
// them is its own start-up work, what they pay beyond the Chinese label is the painting
// of the controls themselves.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int Rounds = 31;
constexpr int FrameTimeoutMs = 60'000;
constexpr double Goal = 1.10;

struct Sample {
    double milliseconds = 0;
    double peakKilobytes = 0;
    double cpuMilliseconds = 0;
};

struct Probe {
    const char *name;
    const char *path;
    const char *argument; // or nullptr
    std::vector<Sample> samples;
};

// Runs the probe once; nothing when it fails to start, to report its frame or to end well.
std::optional<Sample> runOnce(const Probe &probe)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string program = probe.path;
    std::string argument = probe.argument ? probe.argument : "";
    char *argv[] = { program.data(), probe.argument ? argument.data() : nullptr, nullptr };

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, probe.path, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return std::nullopt;
    }

    std::string output;
    std::size_t lineEnd = std::string::npos;
    while (lineEnd == std::string::npos) {
        pollfd waiting { fds[0], POLLIN, 0 };
        if (::poll(&waiting, 1, FrameTimeoutMs) <= 0)
            break;
        char buffer[64];
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        output.append(buffer, static_cast<std::size_t>(got));
        lineEnd = output.find('\n');
    }
    const auto frameAt = std::chrono::steady_clock::now();
    ::close(fds[0]);
    if (lineEnd == std::string::npos)
        ::kill(pid, SIGKILL);

    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || lineEnd == std::string::npos || !WIFEXITED(status)
        || WEXITSTATUS(status) != 0)
        return std::nullopt;
    // "frame <peak KiB> <CPU microseconds>\n", every field checked.
    const char *field = output.c_str();
    if (std::strncmp(field, "frame ", 6) != 0)
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const long peak = std::strtol(field + 6, &end, 10);
    if (errno != 0 || end == field + 6 || *end != ' ' || peak <= 0)
        return std::nullopt;
    field = end + 1;
    const long long cpu = std::strtoll(field, &end, 10);
    if (errno != 0 || end == field || *end != '\n' || cpu < 0)
        return std::nullopt;
    return Sample { std::chrono::duration<double, std::milli>(frameAt - start).count(),
                    static_cast<double>(peak), static_cast<double>(cpu) / 1000 };
}

double median(const std::vector<Sample> &samples, double Sample::*field)
{
    std::vector<double> values;
    values.reserve(samples.size());
    for (const Sample &sample : samples)
        values.push_back(sample.*field);
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// "ratio <probe> / <label>: ..." with the medians of one probe over another's.
void printRatio(const Probe &probe, const char *label, const Probe &other, bool isGoal)
{
    const double time = median(probe.samples, &Sample::milliseconds)
        / median(other.samples, &Sample::milliseconds);
    const double memory = median(probe.samples, &Sample::peakKilobytes)
        / median(other.samples, &Sample::peakKilobytes);
    const double cpu = median(probe.samples, &Sample::cpuMilliseconds)
        / median(other.samples, &Sample::cpuMilliseconds);
    std::printf("ratio %s / %s: wall %.2fx, peak memory %.2fx", probe.name, label, time, memory);
    if (isGoal)
        std::printf(" (goal: at most %.2fx each) -> %s", Goal,
                    time <= Goal && memory <= Goal ? "within goal" : "OVER GOAL");
    std::printf("\n  (CPU time %.2fx, for reference)\n", cpu);
}

} // namespace

// Every probe in turn, then the figures; 1 when a probe fails.
static int runProbes()
{
    Probe quillet { "Quillet", QUILLET_PROBE, nullptr, {} };
    Probe chinese { "bare+Chinese", BARE_PROBE, "chinese", {} };
    Probe bare { "bare window", BARE_PROBE, nullptr, {} };
    Probe controls { "controls only", CONTROLS_PROBE, nullptr, {} };
    Probe *const probes[] = { &quillet, &chinese, &bare, &controls };
    constexpr int ProbeCount = 4;

    // One unmeasured run each, so all start from warm caches.
    for (const Probe *probe : probes) {
        if (!runOnce(*probe)) {
            std::fprintf(stderr, "%s: the probe did not start or did not paint\n", probe->name);
            return 1;
        }
    }
    for (int round = 0; round < Rounds; ++round) {
        for (int i = 0; i < ProbeCount; ++i) {
            Probe *probe = probes[(round + i) % ProbeCount];
            const std::optional<Sample> sample = runOnce(*probe);
            if (!sample) {
                std::fprintf(stderr, "%s: round %d failed\n", probe->name, round + 1);
                return 1;
            }
            probe->samples.push_back(*sample);
        }
    }

    std::printf("start-up to the first painted frame (%d runs each, in turn)\n", Rounds);
    std::printf("%-13s %12s %14s %12s\n", "", "median ms", "peak RSS KiB", "CPU ms");
    for (const Probe *probe : probes)
        std::printf("%-13s %12.1f %14.0f %12.1f\n", probe->name,
                    median(probe->samples, &Sample::milliseconds),
                    median(probe->samples, &Sample::peakKilobytes),
                    median(probe->samples, &Sample::cpuMilliseconds));
    printRatio(quillet, "bare window with a Chinese label", chinese, true);
    printRatio(quillet, "empty bare window (for reference)", bare, false);
    printRatio(quillet, "its controls made with plain Qt (its own start-up work)", controls, false);
    printRatio(controls, "bare window with a Chinese label (painting the controls)", chinese,
               false);
    return 0;
}

int main()
{
    // The probes want a runtime folder of their own, as a desktop session gives them.
    char runtimeFolder[] = "/tmp/quillet-bench-startup-XXXXXX";
    const bool ownRuntimeFolder = !std::getenv("XDG_RUNTIME_DIR") && ::mkdtemp(runtimeFolder);
    if (ownRuntimeFolder)
        ::setenv("XDG_RUNTIME_DIR", runtimeFolder, 1);
    const int result = runProbes();
    if (ownRuntimeFolder)
        ::rmdir(runtimeFolder);
    return result;
}
