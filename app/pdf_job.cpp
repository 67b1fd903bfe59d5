#include "pdf_job.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "document_job.h"
#include "mono_driver.h"

namespace {

// Lays each page on the paper as CUPS's pdftopdf does for a PPD queue: a
// page larger than the paper is scaled to fit the printable area, centred
// in it; a smaller one is centred unscaled. A page within 2% of the paper's
// size was made for it (CUPS's driverless queues send A4 as 595.28 x 841.89
// points, the PPD's A4 is 595 x 842) and is rendered on a sheet of its own
// size, exactly as ghostscript renders it alone; the raster callbacks cut
// the paper's printable area from its top left corner. Figures are rounded
// to six decimals as pdftopdf writes them.
constexpr const char* kPlacePages = R"PS(
RtmFile (r) file runpdfbegin
RtmPaper aload pop /RtmPH exch def /RtmPW exch def
RtmFirst 1 RtmLast pdfpagecount 2 copy gt { exch } if pop {
  pdfgetpage dup /Page exch store
  pdfshowpage_init pdfshowpage_setpage
  currentpagedevice /PageSize get aload pop /RtmH exch def /RtmW exch def
  RtmW RtmPW 0.98 mul ge RtmH RtmPH 0.98 mul ge and
  RtmW RtmPW 1.02 mul le RtmH RtmPH 1.02 mul le and and not {
    << /PageSize RtmPaper >> setpagedevice
    RtmW RtmPW gt RtmH RtmPH gt or {
      RtmArea aload pop /RtmT exch def /RtmR exch def /RtmB exch def /RtmL exch def
      RtmR RtmL sub RtmW div RtmT RtmB sub RtmH div 2 copy gt { exch } if pop /RtmS exch def
      RtmL RtmR RtmL sub RtmW RtmS mul sub 2 div add
      RtmB RtmT RtmB sub RtmH RtmS mul sub 2 div add
    } {
      /RtmS 1 def RtmPW RtmW sub 2 div RtmPH RtmH sub 2 div
    } ifelse
    exch 1e6 mul round 1e6 div exch 1e6 mul round 1e6 div translate
    RtmS 1e6 mul round 1e6 div dup scale
  } if
  pdfshowpage_finish
} for
runpdfend
)PS";

struct Ghostscript {
    pid_t pid = -1;
    int out = -1;  // the raster
    int log = -1;  // its messages, in an unlinked file
};

std::string Number(double value)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

bool StartGhostscript(Ghostscript& gs, const char* file, const cups_page_header2_t& paper,
                      const pappl_pr_options_t& options, std::string& error)
{
    const bool eightBit = options.print_color_mode == PAPPL_COLOR_MODE_BI_LEVEL;
    const unsigned last = std::min(options.last_page, static_cast<unsigned>(INT_MAX));
    const std::vector<std::string> args = {
        "gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE", "-sstdout=%stderr", "-sDEVICE=cups",
        "-r600", "-dcupsColorSpace=0", eightBit ? "-dcupsBitsPerColor=8" : "-dcupsBitsPerColor=1",
        "-dcupsColorOrder=0", std::string("--permit-file-read=") + file, "-sOutputFile=%stdout", std::string("-sRtmFile=") + file,
        "-dRtmFirst=" + std::to_string(std::max(options.first_page, 1U)), "-dRtmLast=" + std::to_string(last), "-c",
        "/RtmPaper [" + Number(paper.cupsPageSize[0]) + " " + Number(paper.cupsPageSize[1]) + "] def /RtmArea [" + Number(paper.cupsImagingBBox[0]) + " " + Number(paper.cupsImagingBBox[1]) + " " +
            Number(paper.cupsImagingBBox[2]) + " " + Number(paper.cupsImagingBBox[3]) + "] def " + kPlacePages};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    std::string logName = std::string(papplGetTempDir()) + "/rtm-gs-XXXXXX";
    gs.log = mkostemp(logName.data(), O_CLOEXEC);
    if (gs.log < 0) {
        error = std::string("cannot make a file for ghostscript's messages: ") + std::strerror(errno);
        return false;
    }
    unlink(logName.c_str());
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, gs.log, 2);
    // The server ignores SIGPIPE; ghostscript should die of a closed pipe.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    const int status = posix_spawnp(&gs.pid, "gs", &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(pipeFds[1]);
    if (status != 0) {
        close(pipeFds[0]);
        gs.pid = -1;
        error = std::string("cannot run ghostscript (gs): ") + std::strerror(status);
        return false;
    }
    gs.out = pipeFds[0];
    return true;
}

// The first thing ghostscript complained of, for the job's message.
std::string FirstComplaint(int log)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    lseek(log, 0, SEEK_SET);
    while ((got = read(log, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        line.erase(0, line.find_first_not_of(" *"));
        if (!line.empty() && line.rfind("INFO:", 0) != 0)
            return line;
    }
    return {};
}

// Stops ghostscript (at once when `kill` is set) and returns its exit
// status, or -1 when it died of a signal.
int StopGhostscript(Ghostscript& gs, bool killIt)
{
    if (gs.out >= 0)
        close(gs.out);
    gs.out = -1;
    int status = 0;
    if (gs.pid > 0) {
        if (killIt)
            kill(gs.pid, SIGKILL);
        while (waitpid(gs.pid, &status, 0) < 0 && errno == EINTR) {
        }
        gs.pid = -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ssize_t ReadPipe(void* ctx, unsigned char* buffer, size_t length)
{
    const int fd = *static_cast<int*>(ctx);
    ssize_t got;
    while ((got = read(fd, buffer, length)) < 0 && errno == EINTR) {
    }
    return got;
}

// A PDF whose last 1,024 bytes hold no end-of-file marker, as a document
// whose sender hung up leaves it; ghostscript would print what it can of
// it and call that success.
bool IsCutOff(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char head[5] = {};
    std::string tail(1024, '\0');
    const bool isPdf = read(fd, head, sizeof head) == sizeof head && std::memcmp(head, "%PDF-", 5) == 0;
    const off_t size = lseek(fd, 0, SEEK_END);
    const ssize_t got = pread(fd, tail.data(), tail.size(), std::max<off_t>(0, size - 1024));
    close(fd);
    return isPdf && (got < 0 || tail.find("%%EOF") == std::string::npos);
}

// Sends ghostscript's pages through the raster callbacks; false when the
// job should stop.
bool SendPages(DocumentPrint& print, Ghostscript& gs)
{
    // Nothing at all from ghostscript: no pages, and its messages say why.
    cups_raster_t* raster = cupsRasterOpenIO(ReadPipe, &gs.out, CUPS_RASTER_READ);
    if (raster == nullptr)
        return true;
    bool ok = true;
    cups_page_header2_t header;
    std::vector<unsigned char> line;
    while (ok && !papplJobIsCanceled(print.job) && cupsRasterReadHeader2(raster, &header)) {
        line.resize(header.cupsBytesPerLine);
        if (!BeginPage(print, header)) {
            ok = false;
            break;
        }
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            if (y % 64 == 0 && papplJobIsCanceled(print.job))
                break;
            if (cupsRasterReadPixels(raster, line.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine) {
                FailDocument(print.job, "ghostscript stopped in the middle of page " + std::to_string(print.pages));
                ok = false;
                break;
            }
            SendLine(print, y, line.data());
        }
        ok = EndPage(print) && ok;
    }
    cupsRasterClose(raster);
    return ok;
}

}  // namespace

namespace {

bool PrintPdfOf(pappl_job_t* job, pappl_device_t* device)
{
    DocumentPrint print;
    if (!BeginDocument(print, job, device))
        return EndDocument(print, false, "");
    const Paper* paper = FindPaper(gSettings.papers, print.options->media.size_name);
    if (paper == nullptr) {
        FailDocument(job, std::string("the printer has no paper named ") + print.options->media.size_name);
        return EndDocument(print, false, "");
    }
    if (IsCutOff(papplJobGetFilename(job))) {
        FailDocument(job, "the PDF is cut off: it does not end as a PDF ends (was it sent whole?)");
        return EndDocument(print, false, "");
    }
    Ghostscript gs;
    std::string error;
    if (!StartGhostscript(gs, papplJobGetFilename(job), paper->header, *print.options, error)) {
        if (gs.log >= 0)
            close(gs.log);
        FailDocument(job, error);
        return EndDocument(print, false, "");
    }
    const bool sent = SendPages(print, gs);
    const bool stopNow = !sent || papplJobIsCanceled(job);
    const int status = StopGhostscript(gs, stopNow);
    bool ok = sent;
    // Ghostscript ends well even for a file it cannot read, printing nothing.
    if (!stopNow && status < 0) {
        FailDocument(job, "ghostscript stopped before the end of the document");
        ok = false;
    } else if (!stopNow && (status != 0 || print.pages == 0)) {
        const std::string said = FirstComplaint(gs.log);
        if (status != 0 || !said.empty()) {
            FailDocument(job, "ghostscript cannot read the PDF" + (said.empty() ? std::string() : ": " + said));
            ok = false;
        }
    }
    close(gs.log);
    return EndDocument(print, ok, "the PDF has no pages in the range asked for");
}

}  // namespace

bool PrintPdf(pappl_job_t* job, pappl_device_t* device, void* /*data*/)
{
    return PrintCatching(job, device, "PDF", PrintPdfOf);
}
