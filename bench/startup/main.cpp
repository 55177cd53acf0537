// Start-up benchmark: the console against a bare Qt window of the same size.
//
// Each probe runs in a child process of its own, from spawn to its first idle event
// loop with the window shown ("ready" on its standard output); the driver runs them in
// turn, a round at a time, and compares medians. Peak memory is the child's maximum
// resident set as wait4 reports it. The goal is to stay within 1.3 times the bare
// window in both. A third run, the bare window holding one label, is shown for
// reference: it separates what any window with text pays (reading the font
// configuration) from what the console itself adds.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int Rounds = 21;
constexpr int ReadyTimeoutMs = 60'000;
constexpr double Goal = 1.3;

struct Sample {
    double milliseconds = 0;
    long peakKilobytes = 0;
};

struct Probe {
    const char *name;
    const char *path;
    const char *argument; // or nullptr
    std::vector<Sample> samples;
};

// Runs the probe once; nothing when it fails to start, to say ready or to end well.
std::optional<Sample> runOnce(const Probe &probe)
{
    const char *path = probe.path;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string program = path;
    std::string argument = probe.argument ? probe.argument : "";
    char *argv[] = { program.data(), probe.argument ? argument.data() : nullptr, nullptr };

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return std::nullopt;
    }

    std::string output;
    bool ready = false;
    while (!ready) {
        pollfd waiting { fds[0], POLLIN, 0 };
        if (::poll(&waiting, 1, ReadyTimeoutMs) <= 0)
            break;
        char buffer[64];
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        output.append(buffer, static_cast<std::size_t>(got));
        ready = output.find("ready\n") != std::string::npos;
    }
    const auto readyAt = std::chrono::steady_clock::now();
    ::close(fds[0]);
    if (!ready)
        ::kill(pid, SIGKILL);

    int status = 0;
    rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid || !ready || !WIFEXITED(status)
        || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return Sample { std::chrono::duration<double, std::milli>(readyAt - start).count(),
                    usage.ru_maxrss };
}

template<typename Field> double median(const std::vector<Sample> &samples, Field field)
{
    std::vector<double> values;
    values.reserve(samples.size());
    for (const Sample &sample : samples)
        values.push_back(static_cast<double>(sample.*field));
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main()
{
    Probe quillet { "Quillet", QUILLET_PROBE, nullptr, {} };
    Probe bare { "bare window", BARE_PROBE, nullptr, {} };
    Probe labelled { "bare + label", BARE_PROBE, "text", {} };
    Probe *const probes[] = { &quillet, &bare, &labelled };

    // One unmeasured run each, so all start from warm caches.
    for (const Probe *probe : probes) {
        if (!runOnce(*probe)) {
            std::fprintf(stderr, "%s: the probe did not start or did not get ready\n", probe->name);
            return 1;
        }
    }
    for (int round = 0; round < Rounds; ++round) {
        // The order turns every round, so no probe always follows the same one.
        for (int i = 0; i < 3; ++i) {
            Probe *probe = probes[(round + i) % 3];
            const std::optional<Sample> sample = runOnce(*probe);
            if (!sample) {
                std::fprintf(stderr, "%s: round %d failed\n", probe->name, round + 1);
                return 1;
            }
            probe->samples.push_back(*sample);
        }
    }

    std::printf("start-up to the first idle event loop, window shown (%d runs each, in turn)\n",
                Rounds);
    std::printf("%-12s %14s %14s\n", "", "median ms", "peak RSS KiB");
    for (const Probe *probe : probes)
        std::printf("%-12s %14.1f %14.0f\n", probe->name,
                    median(probe->samples, &Sample::milliseconds),
                    median(probe->samples, &Sample::peakKilobytes));
    const double timeRatio = median(quillet.samples, &Sample::milliseconds)
        / median(bare.samples, &Sample::milliseconds);
    const double memoryRatio = median(quillet.samples, &Sample::peakKilobytes)
        / median(bare.samples, &Sample::peakKilobytes);
    std::printf(
        "ratio Quillet / bare window: time %.2fx, memory %.2fx (goal: within %.1fx) -> %s\n",
        timeRatio, memoryRatio, Goal,
        timeRatio <= Goal && memoryRatio <= Goal ? "within goal" : "OVER GOAL");
    std::printf("for reference, Quillet / bare + label: time %.2fx, memory %.2fx\n",
                median(quillet.samples, &Sample::milliseconds)
                    / median(labelled.samples, &Sample::milliseconds),
                median(quillet.samples, &Sample::peakKilobytes)
                    / median(labelled.samples, &Sample::peakKilobytes));
    return 0;
}
