#include "pdf_job.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "document_job.h"
#include "filter_process.h"
#include "mono_driver.h"

namespace {

// Lays each page on the paper. The page first turns as the job asks
// (RtmTurn degrees counter-clockwise; -1 turns it when its long side would
// otherwise cross the paper's, as CUPS's pdftopdf does). Then, by
// print-scaling: "fit" scales it to the printable area, "fill" to cover
// the whole paper (what lies past the paper is cut off), "none" keeps its
// size, each centred; "auto-fit" fits a page larger than the printable
// area and keeps the size of a smaller one; "auto" lays it out as a CUPS
// queue with the PPD does: a page larger than the paper is fitted, a
// smaller one centred, and one within 2% of the paper's size (CUPS's
// driverless queues send A4 as 595.28 x 841.89 points, the PPD's A4 is 595
// x 842) printed as it is, from the paper's bottom left corner, as
// gstoraster prints it; with both, when one page of the document is too
// large for the paper, every page is fitted. A page is its TrimBox, else
// its CropBox, else its MediaBox, as pdftopdf takes it, turned by its
// /Rotate. Figures are rounded to six decimals as pdftopdf writes them.
// What a page laid out on the paper draws past its own edges stays
// unprinted, as pdftopdf clips it; a page printed as it is is not clipped.
// Ghostscript renders the printable area only, as CUPS's
// gstoraster has it do for the PPD, so that the raster goes to the filter
// as it is; a line on standard error tells the page count and each page
// done.
constexpr const char* kPlacePages = R"PS(
/Rtm6 { 1e6 mul round 1e6 div } def
% Ghostscript's page setup reports a page without a valid MediaBox through
% pdfformaterror, which it only defines where its own PDF runner works.
/pdfformaterror where { pop } { /pdfformaterror { newpdf_pdfformaterror } def } ifelse
% <page> RtmPageGeometry -: the page as ghostscript's own page setup
% (pdfshowpage_setpage) takes it, from the same box: RtmW x RtmH, its size
% scaled by its /UserUnit and turned by its /Rotate; and RtmPageSpace, what
% that setup does to draw it within 0 0 RtmW RtmH: turn it, move the box's
% corner to 0 0, scale by the UserUnit and clip to the CropBox. The setup
% itself would also set the device to the page's size, and then this
% program to the paper's: a new page buffer twice a page, and its drawing
% transformation lost on the way.
/RtmPageGeometry {
  /RtmPg exch def
  RtmPg newpdf_get_any_box /RtmBox exch def /RtmBoxName exch def
  /RtmU RtmPg /UserUnit .knownget not { 1 } if def
  RtmBox length 4 eq {
    RtmBox aload pop 3 -1 roll 2 copy gt { exch } if 4 2 roll 2 copy gt { exch } if
    /RtmX1 exch def /RtmX0 exch def /RtmY1 exch def /RtmY0 exch def
    /RtmW0 RtmX1 RtmX0 sub RtmU mul def /RtmH0 RtmY1 RtmY0 sub RtmU mul def
    /RtmX0 RtmX0 RtmU mul def /RtmY0 RtmY0 RtmU mul def
  } {
    currentpagedevice /PageSize get aload pop /RtmH0 exch def /RtmW0 exch def /RtmX0 0 def /RtmY0 0 def
  } ifelse
  /RtmQ RtmPg /Rotate .knownget {
    90 div cvi dup 0 lt { dup -4 lt { 4 mod } if 4 add } if dup 3 gt { 4 mod } if
  } { 0 } ifelse def
  RtmQ 2 mod 1 eq { RtmH0 RtmW0 } { RtmW0 RtmH0 } ifelse /RtmH exch def /RtmW exch def
} bind def
/RtmPageSpace {
  RtmQ 0 eq { RtmX0 neg RtmY0 neg translate } if
  RtmQ 1 eq { 270 rotate RtmX0 RtmW0 add neg RtmY0 neg translate } if
  RtmQ 2 eq { 180 rotate RtmX0 RtmW0 add neg RtmY0 RtmH0 add neg translate } if
  RtmQ 3 eq { 90 rotate RtmX0 neg RtmY0 RtmH0 add neg translate } if
  RtmPg /UserUnit known { RtmU dup scale } if
  RtmBoxName /MediaBox eq RtmPg /CropBox known and {
    RtmPg /CropBox get aload pop 2 index sub exch 3 index sub exch rectclip
  } if
} bind def
RtmFile (r) file runpdfbegin
RtmPaper aload pop /RtmPH exch def /RtmPW exch def
RtmArea aload pop /RtmT exch def /RtmR exch def /RtmB exch def /RtmL exch def
/RtmAW RtmR RtmL sub def /RtmAH RtmT RtmB sub def
/RtmLast RtmLast pdfpagecount 2 copy gt { exch } if pop def
(RtmPages ) print RtmLast RtmFirst sub 1 add dup 0 lt { pop 0 } if = flush
% As pdftopdf decides it for the whole document: with "auto" and "auto-fit",
% one page too large for the paper either way round, by more than 2%, has
% every page fitted. A page that cannot be read here is skipped; it has its
% say when it is printed.
/RtmLarge false def
RtmScaling /auto eq RtmScaling /auto-fit eq or {
  1 1 pdfpagecount {
    mark exch {
      pdfgetpage RtmPageGeometry
      /RtmW98 RtmW 100 mul 102 div cvi def /RtmH98 RtmH 100 mul 102 div cvi def
      RtmW98 RtmPW gt RtmH98 RtmPH gt or RtmH98 RtmPW gt RtmW98 RtmPH gt or and { /RtmLarge true def } if
    } stopped cleartomark
  } for
} if
RtmFirst 1 RtmLast {
  pdfgetpage dup /Page exch store
  pdfshowpage_init dup newpdf_device_setup dup RtmPageGeometry
  << /PageSize RtmPaper >> setpagedevice
  RtmScreen
  /RtmA RtmTurn dup 0 lt { pop RtmW RtmH gt RtmPW RtmPH gt ne { 90 } { 0 } ifelse } if def
  RtmA 180 mod 0 eq { RtmW RtmH } { RtmH RtmW } ifelse /RtmEH exch def /RtmEW exch def
  /RtmMode RtmScaling RtmLarge { pop /fit } if def
  RtmMode /auto eq {
    RtmEW RtmPW 0.98 mul ge RtmEH RtmPH 0.98 mul ge and RtmEW RtmPW 1.02 mul le RtmEH RtmPH 1.02 mul le and and
    { /asis } { RtmEW RtmPW gt RtmEH RtmPH gt or { /fit } { /none } ifelse } ifelse /RtmMode exch def
  } if
  RtmMode /auto-fit eq { /RtmMode RtmEW RtmAW gt RtmEH RtmAH gt or { /fit } { /none } ifelse def } if
  RtmMode /asis eq { /RtmS 1 def /RtmX 0 def /RtmY 0 def } if
  RtmMode /fit eq {
    /RtmS RtmAW RtmEW div RtmAH RtmEH div 2 copy gt { exch } if pop def
    /RtmX RtmL RtmAW RtmEW RtmS mul sub 2 div add def /RtmY RtmB RtmAH RtmEH RtmS mul sub 2 div add def
  } if
  RtmMode /fill eq {
    /RtmS RtmPW RtmEW div RtmPH RtmEH div 2 copy lt { exch } if pop def
    /RtmX RtmPW RtmEW RtmS mul sub 2 div def /RtmY RtmPH RtmEH RtmS mul sub 2 div def
  } if
  RtmMode /none eq { /RtmS 1 def /RtmX RtmPW RtmEW sub 2 div def /RtmY RtmPH RtmEH sub 2 div def } if
  RtmX Rtm6 RtmY Rtm6 translate
  RtmS Rtm6 dup scale
  RtmA 90 eq { RtmH 0 translate 90 rotate } if
  RtmA 180 eq { RtmW RtmH translate 180 rotate } if
  RtmA 270 eq { 0 RtmW translate -90 rotate } if
  RtmMode /asis ne { 0 0 RtmW RtmH rectclip } if
  RtmPageSpace
  pdfshowpage_finish
  (RtmPage\n) print flush
} for
runpdfend
)PS";

// The screen as a ghostscript halftone: its own clustered screen, the
// printer's dispersed threshold matrix, or one threshold at the middle.
std::string HalftoneFor(Screen screen, const pappl_pr_driver_data_t& driver)
{
    if (screen == Screen::kThreshold)
        return "<< /HalftoneType 3 /Width 1 /Height 1 /Thresholds <80> >> sethalftone";
    if (screen == Screen::kClustered)
        return "";
    std::string hex = "<< /HalftoneType 3 /Width 16 /Height 16 /Thresholds <";
    for (const auto& row : driver.pdither)
        for (const unsigned char value : row) {
            char digits[3];
            (void)std::snprintf(digits, sizeof digits, "%02x", value);
            hex += digits;
        }
    return hex + "> >> sethalftone";
}

struct Ghostscript {
    pid_t pid = -1;
    int out = -1;  // the raster
    int err = -1;  // its messages
};

std::string Number(double value, const char* format = "%.4f")
{
    char text[32];
    (void)std::snprintf(text, sizeof text, format, value);
    return text;
}

void Close(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

const char* ScalingName(pappl_scaling_t scaling)
{
    switch (scaling) {
    case PAPPL_SCALING_AUTO_FIT:
        return "auto-fit";
    case PAPPL_SCALING_FILL:
        return "fill";
    case PAPPL_SCALING_FIT:
        return "fit";
    case PAPPL_SCALING_NONE:
        return "none";
    default:
        return "auto";
    }
}

// The server's environment, with the raster writer (gs_writer.cpp) preloaded
// ahead of anything preloaded already. Without it, when it is not there to
// read, ghostscript writes its rows one by one: slower, the same bytes.
std::vector<std::string> GhostscriptEnvironment()
{
    constexpr std::string_view kPreload = "LD_PRELOAD=";
    std::vector<std::string> environment;
    std::string preload;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::string_view(*variable).starts_with(kPreload))
            preload = *variable + kPreload.size();
        else
            environment.emplace_back(*variable);
    }
    if (access(gSettings.gsWriterPath.c_str(), R_OK) == 0)
        preload = gSettings.gsWriterPath + (preload.empty() ? "" : ":" + preload);
    if (!preload.empty())
        environment.push_back("LD_PRELOAD=" + preload);
    return environment;
}

// Ghostscript as CUPS's gstoraster runs it for the printer's PPD: the cups
// device at 600 dpi, one bit, white = 1, the paper's size and the printable
// area as the page's hardware margins, and the device's own raster form,
// uncompressed: compressing would cost ghostscript more than the pipe
// saves, and the filter reads an uncompressed raster fastest.
bool StartGhostscript(Ghostscript& gs, const char* file, const Paper& paper, const pappl_pr_options_t& options,
                      const pappl_pr_driver_data_t& driver, int turn, std::string& error)
{
    const cups_page_header2_t& h = paper.header;
    const std::string margins = Number(h.cupsImagingBBox[0], "%f") + " " + Number(h.cupsImagingBBox[1], "%f") + " " +
                                Number(h.cupsPageSize[0] - h.cupsImagingBBox[2], "%f") + " " +
                                Number(h.cupsPageSize[1] - h.cupsImagingBBox[3], "%f");
    const unsigned last = std::min(options.last_page, static_cast<unsigned>(INT_MAX));
    const std::vector<std::string> args = {
        "gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE", "-dNOMEDIAATTRS", "-dShowAcroForm",
        // A page's box as pdftopdf takes it: its TrimBox, else its CropBox, else its MediaBox.
        "-dUseTrimBox", "-dUseCropBox",
        "-sstdout=%stderr", "-sOutputFile=%stdout", "-sDEVICE=cups", "-r600x600",
        "-dDEVICEWIDTHPOINTS=" + std::to_string(h.PageSize[0]), "-dDEVICEHEIGHTPOINTS=" + std::to_string(h.PageSize[1]),
        "-dcupsBitsPerColor=1", "-dcupsColorOrder=0", "-dcupsColorSpace=0",
        "-scupsPageSizeName=" + paper.ppdName, std::string("--permit-file-read=") + file,
        std::string("-sRtmFile=") + file, "-dRtmFirst=" + std::to_string(std::max(options.first_page, 1U)),
        "-dRtmLast=" + std::to_string(last), "-c",
        "<</.HWMargins[" + margins + "] /Margins[0 0] /NumCopies " + std::to_string(std::max(options.copies, 1)) +
            ">>setpagedevice /RtmPaper [" + Number(h.cupsPageSize[0]) + " " + Number(h.cupsPageSize[1]) +
            "] def /RtmArea [" + Number(h.cupsImagingBBox[0]) + " " + Number(h.cupsImagingBBox[1]) + " " +
            Number(h.cupsImagingBBox[2]) + " " + Number(h.cupsImagingBBox[3]) + "] def /RtmScaling /" +
            ScalingName(options.print_scaling) + " def /RtmTurn " + std::to_string(turn) + " def /RtmScreen {" +
            HalftoneFor(ScreenFor(options.print_color_mode, options.print_content_optimize), driver) + "} def",
        "-f", "-"};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    // The placement program comes on standard input: too long for ghostscript's command line.
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    const std::size_t length = std::strlen(kPlacePages);
    const bool written = write(in[1], kPlacePages, length) == static_cast<ssize_t>(length);
    close(in[1]);
    if (!written || pipe2(out, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        close(in[0]);
        return false;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        close(in[0]), close(out[0]), close(out[1]);
        return false;
    }
    // Room for a few pages' worth of rows, so that ghostscript renders on
    // while the filter starts and catches up; the default is 64 KiB.
    (void)fcntl(out[1], F_SETPIPE_SZ, 1 << 20);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The server ignores SIGPIPE; ghostscript should die of a closed pipe.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> environment = GhostscriptEnvironment();
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (std::string& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    const int status = posix_spawnp(&gs.pid, "gs", &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(in[0]), close(out[1]), close(err[1]);
    if (status != 0) {
        close(out[0]), close(err[0]);
        gs.pid = -1;
        error = std::string("cannot run ghostscript (gs): ") + std::strerror(status);
        return false;
    }
    gs.out = out[0];
    gs.err = err[0];
    return true;
}

// What ghostscript says while it renders: the page count, each page done,
// and its first complaint, the job's reason when the PDF cannot be read.
struct Progress {
    std::string pending;  // an unfinished line
    std::string complaint;
    int pages = 0;
};

void Hear(Progress& progress, pappl_job_t* job, const char* text, std::size_t length)
{
    progress.pending.append(text, length);
    for (std::size_t end; (end = progress.pending.find('\n')) != std::string::npos; progress.pending.erase(0, end + 1)) {
        std::string line = progress.pending.substr(0, end);
        if (line.rfind("RtmPages ", 0) == 0) {
            int pages = 0;
            std::from_chars(line.data() + 9, line.data() + line.size(), pages);
            papplJobSetImpressions(job, pages);
        } else if (line == "RtmPage") {
            ++progress.pages;
            papplJobSetImpressionsCompleted(job, 1);
        } else {
            line.erase(0, line.find_first_not_of(" *"));
            if (progress.complaint.empty() && !line.empty() && line.rfind("INFO:", 0) != 0)
                progress.complaint = line;
        }
    }
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

// Runs ghostscript into the filter: the filter starts with ghostscript's
// first bytes (a PDF with no page to print never reaches the printer), and
// a cancelled job stops both, the filter closing the page it is on.
bool Print(pappl_job_t* job, pappl_device_t* device, const pappl_pr_options_t& options, const Paper& paper)
{
    Ghostscript gs;
    std::string error;
    pappl_pr_driver_data_t driver;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
    const int turn = TurnFor(options.orientation_requested, papplJobGetAttribute(job, "orientation-requested") != nullptr);
    if (!StartGhostscript(gs, papplJobGetFilename(job), paper, options, driver, turn, error)) {
        FailDocument(job, error);
        return false;
    }
    FilterProcess filter;
    bool started = false;
    bool cancelled = false;
    Progress progress;
    std::array<char, 4096> buffer;
    while (gs.err >= 0) {
        std::array<pollfd, 2> fds{{{gs.err, POLLIN, 0}, {gs.out, POLLIN, 0}}};
        if (poll(fds.data(), gs.out >= 0 ? 2 : 1, 100) < 0 && errno != EINTR)
            break;
        if (!cancelled && papplJobIsCanceled(job)) {
            cancelled = true;
            kill(gs.pid, SIGKILL);
            if (started)
                CancelFilter(filter);
        }
        if (gs.out >= 0 && (fds[1].revents & POLLIN) != 0 && !cancelled) {
            started = StartFilter(filter, FilterCommandFor(job, options), job, device, gs.out, error);
            gs.out = -1;  // the filter's now, or closed
            if (!started) {
                kill(gs.pid, SIGKILL);
                FailDocument(job, error);
            }
        } else if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            Close(gs.out);
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t got = read(gs.err, buffer.data(), buffer.size());
            if (got > 0)
                Hear(progress, job, buffer.data(), static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                Close(gs.err);
        }
    }
    Close(gs.out);
    Close(gs.err);
    int status = 0;
    while (waitpid(gs.pid, &status, 0) < 0 && errno == EINTR) {
    }
    bool ok = !started || FinishFilter(filter, error);
    if (started && !ok && !cancelled)
        FailDocument(job, error);
    if (cancelled || (started && !ok))
        return cancelled;
    if (!WIFEXITED(status))
        FailDocument(job, "ghostscript stopped before the end of the document");
    else if (WEXITSTATUS(status) != 0 || (progress.pages == 0 && !progress.complaint.empty()))
        FailDocument(job, "ghostscript cannot read the PDF" +
                              (progress.complaint.empty() ? std::string() : ": " + progress.complaint));
    else if (progress.pages == 0)
        FailDocument(job, "the PDF has no pages in the range asked for");
    else
        return true;
    return false;
}

bool PrintPdfOf(pappl_job_t* job, pappl_device_t* device)
{
    // The page count is not known before the document is read: 0 keeps
    // page-ranges as the client sent them.
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 0, false);
    if (options == nullptr) {
        FailDocument(job, "out of memory for the job's options");
        return false;
    }
    bool ok = false;
    if (const Paper* paper = FindPaper(gSettings.papers, options->media.size_name); paper == nullptr)
        FailDocument(job, std::string("the printer has no paper named ") + options->media.size_name);
    else if (IsCutOff(papplJobGetFilename(job)))
        FailDocument(job, "the PDF is cut off: it does not end as a PDF ends (was it sent whole?)");
    else
        ok = Print(job, device, *options, *paper);
    papplJobDeletePrintOptions(options);
    return ok;
}

}  // namespace

bool PrintPdf(pappl_job_t* job, pappl_device_t* device, void* /*data*/)
{
    return PrintCatching(job, device, "PDF", PrintPdfOf);
}
