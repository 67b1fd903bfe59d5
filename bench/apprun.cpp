// Times documents printed through a running Printer Application: from the
// moment the client starts sending the document, until the first byte of
// the printer's stream reaches the device and until the job is completed.
// Prints one Markdown table row per run and a median row.
//
//   rtm_apprun PORT PRINTER DEVICE_DIR DOCUMENT FORMAT PAGES RUNS
//
// The printer must write to a file:// folder (DEVICE_DIR), where PAPPL
// names each job's file after the job.
#include <cups/cups.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

ipp_t* Request(ipp_op_t op, const std::string& uri)
{
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "bench");
    return request;
}

struct Run {
    double firstByte = 0;
    double done = 0;
};

// A whole positive number, or 0.
int Count(const char* text)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && value > 0 && value < 1000000 ? static_cast<int>(value) : 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 8) {
        (void)std::fputs("usage: rtm_apprun PORT PRINTER DEVICE_DIR DOCUMENT FORMAT PAGES RUNS\n", stderr);
        return 2;
    }
    const int port = Count(argv[1]);
    const std::string uri = "ipp://localhost:" + std::string(argv[1]) + "/ipp/print/" + argv[2];
    const std::string resource = std::string("/ipp/print/") + argv[2];
    const int pages = Count(argv[6]);
    const int runs = Count(argv[7]);
    if (port == 0 || pages == 0 || runs == 0) {
        (void)std::fputs("rtm_apprun: PORT, PAGES and RUNS are whole positive numbers\n", stderr);
        return 2;
    }
    std::vector<Run> results;
    for (int i = 0; i < runs; ++i) {
        const std::string name = "bench-" + std::to_string(i);
        const std::string output = std::string(argv[3]) + "/" + name + ".prn";
        (void)std::remove(output.c_str());
        http_t* http = httpConnect2("localhost", port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
        ipp_t* request = Request(IPP_OP_PRINT_JOB, uri);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, argv[5]);
        const Clock::time_point start = Clock::now();
        // The first byte may arrive while the document is still being sent.
        Run run;
        std::thread watch([&] {
            struct stat info {};
            while (stat(output.c_str(), &info) != 0 || info.st_size == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            run.firstByte = Seconds(start, Clock::now());
        });
        ipp_t* response = cupsDoFileRequest(http, request, resource.c_str(), argv[4]);
        const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
        ippDelete(response);
        if (id == 0) {
            (void)std::fprintf(stderr, "rtm_apprun: the job was refused: %s\n", cupsLastErrorString());
            std::exit(1);
        }
        for (int state = 0; state < IPP_JSTATE_CANCELED;) {
            ipp_t* get = Request(IPP_OP_GET_JOB_ATTRIBUTES, uri);
            ippAddInteger(get, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
            ipp_t* answer = cupsDoRequest(http, get, resource.c_str());
            state = ippGetInteger(ippFindAttribute(answer, "job-state", IPP_TAG_ENUM), 0);
            ippDelete(answer);
            if (state < IPP_JSTATE_CANCELED)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            else if (state != IPP_JSTATE_COMPLETED) {
                (void)std::fprintf(stderr, "rtm_apprun: job %d ended in state %d\n", id, state);
                std::exit(1);
            }
        }
        run.done = Seconds(start, Clock::now());
        watch.join();
        httpClose(http);
        results.push_back(run);
        (void)std::printf("| run %d | %.2f | %.2f | %.0f |\n", i + 1, run.firstByte, run.done, pages * 60 / run.done);
    }
    auto median = [&](double Run::*field) {
        std::vector<double> values;
        values.reserve(results.size());
        for (const Run& run : results)
            values.push_back(run.*field);
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    const double done = median(&Run::done);
    (void)std::printf("| median | %.2f | %.2f | %.0f |\n", median(&Run::firstByte), done, pages * 60 / done);
    return 0;
}
