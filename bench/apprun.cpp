// Documents printed through a running Printer Application, as clients send
// them, with the printers on raw ports served by rtm_raw_printer.
//
//   rtm_apprun job PORT PRINTER RAW_DIR DOCUMENT FORMAT RUNS FLOOR...
//     One Print-Job at a time: seconds from the start of sending until the
//     first byte reaches the printer and until the printer's connection
//     closes after the last one; after each, the floor command FLOOR...
//     once, timed, so that the two alternate and share the machine's ups
//     and downs. One Markdown row per run, then medians and ranges.
//   rtm_apprun load PORT SERVER_PID PRINTERS CLIENTS JOBS [DOCUMENT FORMAT PAGES]...
//     JOBS jobs of the documents in turn, to printers p0 .. p(PRINTERS-1)
//     in turn, from CLIENTS clients at once. One Markdown row: pages per
//     minute, the server's CPU seconds per page (its own and its children's:
//     filters, ghostscript), its peak resident memory, and its resident
//     memory after 10 jobs and after all.
#include <cups/cups.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

[[noreturn]] void Fail(const std::string& why)
{
    (void)std::fprintf(stderr, "rtm_apprun: %s\n", why.c_str());
    std::exit(1);
}

// A whole positive number.
int Count(const char* text)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value <= 0 || value >= 1000000)
        Fail(std::string("not a whole positive number: ") + text);
    return static_cast<int>(value);
}

std::string PrinterUri(int port, const std::string& printer)
{
    return "ipp://localhost:" + std::to_string(port) + "/ipp/print/" + printer;
}

// Sends the document with Print-Job and waits for the job to complete,
// asking for its state every `poll`.
void Print(int port, const std::string& printer, const std::string& document, const std::string& format,
           std::chrono::milliseconds poll)
{
    const std::string uri = PrinterUri(port, printer);
    const std::string resource = "/ipp/print/" + printer;
    http_t* http = httpConnect2("localhost", port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
    ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "bench");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format.c_str());
    ipp_t* response = cupsDoFileRequest(http, request, resource.c_str(), document.c_str());
    const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(response);
    if (id == 0)
        Fail(std::string("the job was refused: ") + cupsLastErrorString());
    for (int state = 0; state < IPP_JSTATE_CANCELED;) {
        ipp_t* get = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
        ippAddString(get, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
        ippAddString(get, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "bench");
        ippAddInteger(get, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
        ipp_t* answer = cupsDoRequest(http, get, resource.c_str());
        state = ippGetInteger(ippFindAttribute(answer, "job-state", IPP_TAG_ENUM), 0);
        ippDelete(answer);
        if (state < IPP_JSTATE_CANCELED)
            std::this_thread::sleep_for(poll);
        else if (state != IPP_JSTATE_COMPLETED)
            Fail("job " + std::to_string(id) + " ended in state " + std::to_string(state));
    }
    httpClose(http);
}

// The printer (rtm_raw_printer) writes what arrives to NNNN.part as it
// comes and renames it NNNN.prn when the connection closes. Waiting for
// that through inotify takes no processor time from the job measured.
struct Arrival {
    double firstByte = 0, lastByte = 0;
};

Arrival WatchArrival(int watch, Clock::time_point start)
{
    Arrival arrival;
    bool first = false;
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;)
        for (ssize_t at = 0; at < got;) {
            inotify_event event{};
            std::memcpy(&event, events + at, sizeof event);
            const std::string name = event.len > 0 ? events + at + sizeof event : "";
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (!first && (event.mask & IN_MODIFY) != 0) {
                arrival.firstByte = Seconds(start, Clock::now());
                first = true;
            }
            if ((event.mask & IN_MOVED_TO) != 0 && name.ends_with(".prn")) {
                arrival.lastByte = Seconds(start, Clock::now());
                if (!first)
                    arrival.firstByte = arrival.lastByte;
                return arrival;
            }
        }
    return arrival;
}

// Seconds one run of the command takes, its output thrown away.
double TimeCommand(char* argv[])
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    int status = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ) != 0 || waitpid(pid, &status, 0) != pid ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(std::string("the floor command failed: ") + argv[0]);
    posix_spawn_file_actions_destroy(&actions);
    return Seconds(start, Clock::now());
}

int Job(int argc, char* argv[])
{
    if (argc < 9)
        Fail("usage: rtm_apprun job PORT PRINTER RAW_DIR DOCUMENT FORMAT RUNS FLOOR...");
    const int port = Count(argv[2]);
    const std::string folder = argv[4];
    const int runs = Count(argv[7]);
    struct Run {
        Arrival arrival;
        double floor = 0;
    };
    std::vector<Run> results;
    for (int i = 0; i < runs; ++i) {
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().extension() == ".prn")
                std::filesystem::remove(entry.path());
        const int watch = inotify_init1(IN_CLOEXEC);
        if (watch < 0 || inotify_add_watch(watch, folder.c_str(), IN_MODIFY | IN_MOVED_TO) < 0)
            Fail("cannot watch " + folder);
        const Clock::time_point start = Clock::now();
        // Bytes come while the document is still being sent; the printer's
        // connection closes once nothing more is to print.
        Run run;
        std::thread watcher([&] { run.arrival = WatchArrival(watch, start); });
        // The job's end is read off the printer: its state is asked for
        // seldom, not to take time from the job.
        Print(port, argv[3], argv[5], argv[6], std::chrono::milliseconds(50));
        watcher.join();
        close(watch);
        run.floor = TimeCommand(argv + 8);
        results.push_back(run);
        (void)std::printf("| run %d | %.3f | %.3f | %.3f |\n", i + 1, run.arrival.firstByte, run.arrival.lastByte,
                          run.floor);
    }
    auto values = [&](auto field) {
        std::vector<double> sorted;
        for (const Run& run : results)
            sorted.push_back(field(run));
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    };
    const auto first = values([](const Run& run) { return run.arrival.firstByte; });
    const auto last = values([](const Run& run) { return run.arrival.lastByte; });
    const auto floor = values([](const Run& run) { return run.floor; });
    const std::size_t mid = results.size() / 2;
    (void)std::printf("| median | %.3f | %.3f | %.3f |\n", first[mid], last[mid], floor[mid]);
    (void)std::printf("| range | %.3f to %.3f | %.3f to %.3f | %.3f to %.3f |\n", first.front(), first.back(),
                      last.front(), last.back(), floor.front(), floor.back());
    return 0;
}

// The server's CPU seconds, its reaped children's included, and its
// resident and peak resident memory in MiB.
struct Usage {
    double cpu = 0, residentMiB = 0, peakMiB = 0;
};

Usage UsageOf(const std::string& pid)
{
    Usage usage;
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
    // After the name: state is field 3; utime, stime, cutime, cstime 14 to 17.
    if (values.size() > 15)
        for (int i = 11; i <= 14; ++i)
            usage.cpu += std::stod(values[static_cast<std::size_t>(i)]) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:"))
            usage.residentMiB = std::stod(line.substr(6)) / 1024;
        else if (line.starts_with("VmHWM:"))
            usage.peakMiB = std::stod(line.substr(6)) / 1024;
    }
    return usage;
}

int Load(int argc, char* argv[])
{
    if (argc < 10 || (argc - 7) % 3 != 0)
        Fail("usage: rtm_apprun load PORT SERVER_PID PRINTERS CLIENTS JOBS [DOCUMENT FORMAT PAGES]...");
    const int port = Count(argv[2]);
    const std::string pid = argv[3];
    const int printers = Count(argv[4]);
    const int clients = Count(argv[5]);
    const int jobs = Count(argv[6]);
    struct Document {
        std::string file, format;
        int pages;
    };
    std::vector<Document> documents;
    for (int i = 7; i < argc; i += 3)
        documents.push_back({argv[i], argv[i + 1], Count(argv[i + 2])});

    std::atomic<int> next{0};
    std::atomic<int> done{0};
    std::atomic<int> pages{0};
    std::mutex lock;
    double afterTen = 0;
    const Usage before = UsageOf(pid);
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            for (int n; (n = next++) < jobs;) {
                const Document& document = documents[static_cast<std::size_t>(n) % documents.size()];
                Print(port, "p" + std::to_string(n % printers), document.file, document.format,
                      std::chrono::milliseconds(5));
                pages += document.pages;
                if (++done == std::min(10, jobs)) {
                    const std::lock_guard<std::mutex> guard(lock);
                    afterTen = UsageOf(pid).residentMiB;
                }
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    const double seconds = Seconds(start, Clock::now());
    const Usage after = UsageOf(pid);
    (void)std::printf("| %d | %d | %d | %d | %.0f | %.3f | %.1f | %.1f | %.1f |\n", printers, clients, jobs,
                      pages.load(), pages * 60 / seconds, (after.cpu - before.cpu) / pages, after.peakMiB, afterTen,
                      after.residentMiB);
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "job")
        return Job(argc, argv);
    if (mode == "load")
        return Load(argc, argv);
    Fail("usage: rtm_apprun job|load ...");
}
