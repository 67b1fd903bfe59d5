// Runs filters side by side on one raster and prints one Markdown table row
// per filter: median wall and CPU time, peak resident memory, and ratios.
//
//   rtm_jobrun RUNS INPUT file|pipe LABEL
//              --cmd NAME [--input OTHER] [VAR=VALUE...] PROGRAM ARGS... [--cmd ...]
//
// Every command gets INPUT (or its own OTHER, the same pages in another
// form) the way CUPS hands a job over: as one more argument ("file") or on
// standard input through a pipe ("pipe"), fed by a child of this program.
// Standard output and error go to /dev/null, so that only the filter's own
// work is measured. The commands take turns, one run each per round, after
// one round that is not counted, so that a change in machine load hits all
// of them alike, in an order drawn afresh for each round.
// The first command is the floor and the second the filter under test: the
// last three columns are the ratios of wall and CPU time to the floor's and
// of wall time to the filter's.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

struct Command {
    std::string name;
    std::string input;              // empty: the common input
    std::vector<std::string> env;   // VAR=VALUE, added to this program's environment
    std::vector<std::string> argv;  // program and arguments
};

struct Sample {
    double wallMs = 0;
    double cpuMs = 0;
    long rssKiB = 0;
};

[[noreturn]] void Die(const std::string& message)
{
    (void)std::fprintf(stderr, "rtm_jobrun: %s\n", message.c_str());
    std::exit(2);
}

void Feed(const std::string& input, int pipeOut)
{
    const int fd = open(input.c_str(), O_RDONLY);
    if (fd < 0)
        _exit(1);
    std::array<char, 1 << 16> buffer{};
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got <= 0)
            _exit(got == 0 ? 0 : 1);
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(pipeOut, buffer.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0)
                _exit(1);  // the reader stopped early; its exit status tells
            done += put;
        }
    }
}

void Exec(const Command& command, const std::string& input, bool viaPipe, int stdinFd)
{
    const int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(stdinFd, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
        _exit(126);
    for (const std::string& var : command.env)
        putenv(const_cast<char*>(var.c_str()));  // NOLINT(cppcoreguidelines-pro-type-const-cast): the child execs right away
    std::vector<char*> argv;
    for (const std::string& arg : command.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));  // NOLINT(cppcoreguidelines-pro-type-const-cast)
    if (!viaPipe)
        argv.push_back(const_cast<char*>(input.c_str()));  // NOLINT(cppcoreguidelines-pro-type-const-cast)
    argv.push_back(nullptr);
    execve(argv[0], argv.data(), environ);
    _exit(127);
}

Sample RunOnce(const Command& command, const std::string& input, bool viaPipe)
{
    std::array<int, 2> channel{-1, -1};
    if (viaPipe && pipe(channel.data()) != 0)
        Die("pipe failed");
    const auto start = std::chrono::steady_clock::now();
    pid_t feeder = -1;
    if (viaPipe) {
        feeder = fork();
        if (feeder == 0) {
            close(channel[0]);
            Feed(input, channel[1]);
        }
    }
    const int stdinFd = viaPipe ? channel[0] : open("/dev/null", O_RDONLY);
    const pid_t child = fork();
    if (child == 0) {
        if (viaPipe)
            close(channel[1]);
        Exec(command, input, viaPipe, stdinFd);
    }
    close(stdinFd);
    if (viaPipe)
        close(channel[1]);

    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0)
        if (errno != EINTR)
            Die("wait4 failed");
    const auto stop = std::chrono::steady_clock::now();
    if (feeder > 0)
        waitpid(feeder, nullptr, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Die(command.name + " failed on " + input + " (status " + std::to_string(status) + ")");

    const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
    return {std::chrono::duration<double, std::milli>(stop - start).count(), ms(usage.ru_utime) + ms(usage.ru_stime),
            usage.ru_maxrss};
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<Command> ParseCommands(int argc, char* argv[], int first)
{
    std::vector<Command> commands;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--cmd") {
            if (++i >= argc)
                Die("--cmd needs a name");
            commands.push_back({argv[i], {}, {}, {}});
        } else if (commands.empty()) {
            Die("expected --cmd, got " + arg);
        } else if (arg == "--input" && commands.back().argv.empty()) {
            if (++i >= argc)
                Die("--input needs a file");
            commands.back().input = argv[i];
        } else if (commands.back().argv.empty() && arg.find('=') != std::string::npos && arg[0] != '/') {
            commands.back().env.push_back(arg);
        } else {
            commands.back().argv.push_back(arg);
        }
    }
    if (commands.size() < 2)
        Die("give at least a floor and one filter");
    for (const Command& command : commands)
        if (command.argv.empty())
            Die(command.name + " has no program");
    return commands;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 6)
        Die("usage: rtm_jobrun RUNS INPUT file|pipe LABEL --cmd NAME [VAR=VALUE...] PROGRAM ARGS...");
    const long runs = std::strtol(argv[1], nullptr, 10);
    const std::string input = argv[2];
    const std::string via = argv[3];
    const std::string label = argv[4];
    if (runs < 1 || (via != "file" && via != "pipe"))
        Die("RUNS must be positive and the input file or pipe");
    const std::vector<Command> commands = ParseCommands(argc, argv, 5);

    std::vector<std::vector<Sample>> samples(commands.size());
    // Each round runs the commands in an order of its own, drawn from a
    // fixed seed, so that none always runs right after the same other: a
    // program runs measurably slower right after some than after others.
    std::vector<std::size_t> order(commands.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::mt19937 shuffle(1);
    for (long round = 0; round <= runs; ++round) {
        std::shuffle(order.begin(), order.end(), shuffle);
        for (const std::size_t c : order) {
            const Command& command = commands[c];
            const Sample sample = RunOnce(command, command.input.empty() ? input : command.input, via == "pipe");
            if (round > 0)
                samples[c].push_back(sample);
        }
    }

    std::vector<double> wall;
    std::vector<double> cpu;
    std::vector<long> rss;
    for (const std::vector<Sample>& runsOfOne : samples) {
        std::vector<double> wallMs;
        std::vector<double> cpuMs;
        long peak = 0;
        for (const Sample& sample : runsOfOne) {
            wallMs.push_back(sample.wallMs);
            cpuMs.push_back(sample.cpuMs);
            peak = std::max(peak, sample.rssKiB);
        }
        wall.push_back(Median(wallMs));
        cpu.push_back(Median(cpuMs));
        rss.push_back(peak);
    }
    for (std::size_t c = 0; c < commands.size(); ++c)
        std::printf("| %s | %s | %s | %.1f | %.1f | %.2f | %.2f | %.2f | %.2f |\n", label.c_str(), via.c_str(),
                    commands[c].name.c_str(), wall[c], cpu[c], static_cast<double>(rss[c]) / 1024.0,
                    wall[c] / wall[0], cpu[c] / cpu[0], wall[c] / wall[1]);
    return 0;
}
