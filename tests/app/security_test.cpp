// The Printer Application against clients it must not trust: local users
// who are no administrators, and requests built to break it.
#include <pwd.h>
#include <sys/stat.h>

#include <map>

#include "app_support.h"

namespace {

struct AdminCase {
    const char* what;
    const char* printersAfter;      // what `printers` lists afterwards
    std::vector<std::string> args;  // {system}, {printer}, {device} and {document} filled in
    bool asNobody;                  // over IPP on loopback; otherwise root over the domain socket
    bool allowed;
};

const AdminCase kAdmin[] = {
    {"nobody adds", "office\n", {"add", "-u", "{system}", "-d", "intruder", "-m", "mono-laser-600", "-v", "{device}"},
     true, false},
    {"nobody modifies", "office\n", {"modify", "-u", "{printer}", "-d", "office", "-o", "print-darkness-default=50"},
     true, false},
    {"nobody deletes", "office\n", {"delete", "-u", "{printer}", "-d", "office"}, true, false},
    {"nobody prints", "office\n", {"submit", "-u", "{printer}", "-d", "office", "{document}"}, true, true},
    {"root modifies", "office\n", {"modify", "-d", "office", "-o", "print-darkness-default=50"}, false, true},
    {"root adds", "annex\noffice\n", {"add", "-d", "annex", "-m", "mono-laser-600", "-v", "{device}"}, false, true},
    {"root deletes", "annex\n", {"delete", "-d", "office"}, false, true},
};

// The page printed, whole, on the device folder.
bool Printed(const std::string& folder)
{
    return Eventually([&] {
        return std::ranges::any_of(std::filesystem::directory_iterator(folder), [](const auto& entry) {
            const DecodedJob job = DecodeJob(ReadFile(entry.path()));
            return !job.violation && job.pages.size() == 1;
        });
    });
}

TEST(AppSecurity, OnlyAdministratorsChangePrintersAndAnyoneMayPrint)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "needs root and the user nobody";
    Server server({"file-devices=yes", "auth-service=rastertomono-printer-app", "admin-group=lpadmin"});
    // nobody reaches the program and the page, and nothing else of the test's.
    ASSERT_EQ(chmod(server.dir.path.c_str(), 0711), 0);
    const std::string document = server.dir.File("page.pwg");
    WritePwg(document, {MakeSheet("iso_a4_210x297mm", 5, false)}, "iso_a4_210x297mm", false);
    ASSERT_EQ(chmod(document.c_str(), 0644), 0);
    ASSERT_EQ(RunProgram(server.program, {server.program, "add", "-d", "office", "-m", "mono-laser-600", "-v",
                                          server.Device()})
                  .status,
              0);
    // PAPPL 1.3.1 tells a new printer's printer-id only after a restart,
    // and the delete sub-command needs it.
    server.Stop();
    server.Start();

    const std::map<std::string, std::string> fills = {
        {"{system}", "ipp://localhost:" + std::to_string(server.port) + "/ipp/system"},
        {"{printer}", server.Uri("office")},
        {"{device}", server.Device()},
        {"{document}", document},
    };
    for (const AdminCase& c : kAdmin) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv;
        if (c.asNobody)
            argv = {"runuser", "-u", "nobody", "--"};
        argv.push_back(server.program);
        std::ranges::transform(c.args, std::back_inserter(argv),
                               [&](const std::string& arg) { return fills.contains(arg) ? fills.at(arg) : arg; });
        const RunResult run = RunProgram(argv[0], argv);
        if (c.allowed) {
            EXPECT_EQ(run.status, 0) << run.err;
        } else {
            EXPECT_NE(run.status, 0);
            EXPECT_NE(run.err.find("Unauthorized"), std::string::npos) << run.err;
        }
        const RunResult printers = RunProgram(server.program, {server.program, "printers"});
        EXPECT_EQ(std::string(printers.out.begin(), printers.out.end()), c.printersAfter) << printers.err;
        if (c.args[0] == "submit") {
            EXPECT_TRUE(Printed(server.dir.File("dev")));
        }
    }

    // The web interface's settings pages are administration. Even root
    // needs a login over TCP, which tells the server nothing of who connects.
    const RunResult config = RunProgram("curl", {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                                 "http://localhost:" + std::to_string(server.port) + "/config"});
    EXPECT_EQ(std::string(config.out.begin(), config.out.end()), "401");
    // Whether the user can connect to the domain socket at all: curl says 7 when not.
    const auto reaches = [link = "/run/" + std::filesystem::path(server.program).filename().string() + ".sock"](
                             const char* user) {
        return RunProgram("runuser", {"runuser", "-u", user, "--", "curl", "-so", "/dev/null", "--unix-socket", link,
                                      "http://localhost/"})
                   .status != 7;
    };
    EXPECT_FALSE(reaches("nobody"));
    EXPECT_TRUE(reaches("root"));
    using enum std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(server.dir.File("state")).permissions(), owner_read | owner_write);
    EXPECT_EQ(std::filesystem::status(server.dir.File("spool")).permissions(), owner_all);
}

// Over TCP an administrator logs in with a password PAM accepts, and must
// be in the administrators' group. The test's PAM service takes "secret"
// from anyone, so that root is let in, daemon (not in group root) is not,
// and a wrong password is refused.
TEST(AppSecurity, AdministratorsLogInThroughPamAndTheirGroup)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to add a PAM service";
    const std::string service = "rtm-test-" + std::to_string(getpid());
    Server server({"file-devices=yes", "auth-service=" + service, "admin-group=root"});
    ASSERT_EQ(RunProgram(server.program, {server.program, "add", "-d", "office", "-m", "mono-laser-600", "-v",
                                          server.Device()}).status, 0);
    const std::string check = server.dir.File("check");
    const std::string script = "#!/bin/sh\n[ \"$(tr -d '\\000')\" = secret ]\n";
    WriteFile(check, Bytes(script.begin(), script.end()));
    std::filesystem::permissions(check, std::filesystem::perms::owner_all);
    const std::string conf = "auth required pam_exec.so quiet expose_authtok " + check + "\naccount required pam_permit.so\n";
    WriteFile("/etc/pam.d/" + service, Bytes(conf.begin(), conf.end()));
    const std::unique_ptr<const std::string, void (*)(const std::string*)> remove(
        &service, [](const std::string* name) { std::filesystem::remove("/etc/pam.d/" + *name); });

    static const char* password = nullptr;
    cupsSetPasswordCB2([](const char*, http_t*, const char*, const char*, void*) { return std::exchange(password, nullptr); },
                       nullptr);
    const auto disable = [&](const char* user, const char* secret) {
        cupsSetUser(user);
        password = secret;
        http_t* http = Connect(server.port);
        ippDelete(cupsDoRequest(http, NewRequest(IPP_OP_DISABLE_PRINTER, server.Uri("office")), "/ipp/print/office"));
        httpClose(http);
        return cupsLastError();
    };
    EXPECT_EQ(disable("root", "wrong"), IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED);  // asked again, it gave up
    EXPECT_EQ(disable("daemon", "secret"), IPP_STATUS_ERROR_FORBIDDEN);
    EXPECT_EQ(disable("root", "secret"), IPP_STATUS_OK);
}

// The folder around the domain socket is what keeps other users out. As
// a system service finds them made for it: an open folder of root's is
// made private, and the link to the socket stays when the server stops;
// a folder of somebody else's is refused.
TEST(AppSecurity, SocketFolderIsTheServersAlone)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "needs root and the user nobody";
    const std::string name = "rtm-app-" + std::to_string(getpid());
    const std::string folder = "/run/" + name;
    const std::string link = folder + ".sock";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    std::filesystem::create_symlink(folder + "/socket", link);
    const std::unique_ptr<const std::string, void (*)(const std::string*)> remove(&folder, [](const std::string* path) {
        std::filesystem::remove_all(*path), std::filesystem::remove(*path + ".sock");
    });
    {
        // The server takes TCP connections a moment before it sees to the folder.
        Server server;
        using enum std::filesystem::perms;
        EXPECT_TRUE(Eventually([&] { return std::filesystem::status(folder).permissions() == owner_all; }));
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));

    ASSERT_EQ(chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const TempDir dir;
    const std::string program = dir.File(name);
    std::filesystem::create_symlink(RTM_APP_PATH, program);
    RunSetup setup;
    setup.env = {std::string("RASTERTOMONO_PPD=") + RTM_PPD};
    const RunResult run = RunProgram(program, {program, "server", "-o", "spool-directory=" + dir.File("spool"),
                                               "-o", "server-port=" + std::to_string(FreePort())}, setup);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(folder + " is not a folder of this user's"), std::string::npos) << run.err;
}

// Requests a hostile or broken client sends, and documents that cannot be
// read: each is refused, its job aborted with a reason, or what the printer
// cannot honour set aside as IPP allows; no filter outlives its job, no
// document stays in the spool, and the server goes on printing.
struct HostileCase {
    const char* name;
    ipp_status_t status;                           // Print-Job's answer
    ipp_jstate_t state;                            // the job's end
    const char* reason;                            // in the answer's message or the job's
    void (*bend)(cups_page_header2_t&) = nullptr;  // the A4 page's header
    void (*attributes)(ipp_t* request) = nullptr;
    const char* format = "image/pwg-raster";
    std::string_view content = {};  // sent instead of the page
    std::uintmax_t cut = 0;         // bytes cut off the page's end
};

void Media(ipp_t* request, const std::string& name)
{
    ipp_t* col = ippNew();
    ippAddString(col, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-size-name", nullptr, name.c_str());
    ippAddCollection(request, IPP_TAG_JOB, "media-col", col);
    ippDelete(col);
}

using std::string_view_literals::operator""sv;

const HostileCase kHostile[] = {
    {"HugePage", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "at most 65535",
     [](cups_page_header2_t& h) { h.cupsWidth = h.cupsBytesPerLine = 100000, h.cupsHeight = 4000000000U; }},
    // It would print at half its width.
    {"ThreeHundredDpiAcross", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "600x600 dpi only",
     [](cups_page_header2_t& h) { h.HWResolution[0] = 300; }},
    {"WidePage", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "at most 65535",
     [](cups_page_header2_t& h) { h.cupsWidth = h.cupsBytesPerLine = 100000; }},
    // The tallest page the printer takes prints, though its lines end early.
    {"TallestPage", IPP_STATUS_OK, IPP_JSTATE_COMPLETED, "completed", [](cups_page_header2_t& h) { h.cupsHeight = 65535; }},
    {.name = "EndsMidLine", .status = IPP_STATUS_OK, .state = IPP_JSTATE_ABORTED, .reason = "aborted", .cut = 10},
    // A document of no format the printer knows reaches the driver, which
    // says why. (PAPPL 1.3.1 aborts a job whose named format it has no
    // filter for before that.)
    {"UntypedBytes", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "does not print documents of type", nullptr, nullptr,
     "application/octet-stream", "garbage\n"},
    // With ghostscript's first complaint.
    {"TextSentAsPdf", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "ghostscript cannot read the PDF: Catalog dictionary",
     nullptr, nullptr, "application/pdf", "This is a letter, not a PDF.\n"},
    {"CutOffPng", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "the PNG cannot be read", nullptr, nullptr, "image/png",
     "\x89PNG\r\n\x1a\n\0\0\0\rIHDR"sv},
    {"CutOffJpeg", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "the JPEG cannot be read", nullptr, nullptr, "image/jpeg",
     "\xff\xd8\xff\xe0"},
    // A header that claims 100,000 x 100,000 pixels.
    {"HugePng", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "more pixels than the printer can use", nullptr, nullptr,
     "image/png",
     "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\x01\x86\xa0\0\x01\x86\xa0\x08\x02\0\0\0\x27\x30\x9c\x9f"
     "\0\0\0\0IDAT\x35\xaf\x06\x1e"sv},
    // One black pixel, spread over the paper.
    {"OnePixelPng", IPP_STATUS_OK, IPP_JSTATE_COMPLETED, "completed", nullptr, nullptr, "image/png",
     "\x89PNG\x0d\x0a\x1a\x0a\x00\x00\x00\x0dIHDR\x00\x00\x00\x01\x00\x00\x00\x01\x08\x00\x00\x00\x00:~\x9bU\x00\x00\x00"
     "\x0aIDATx\xda" "c`\x00\x00\x00\x02\x00\x01\xe5\x27\xde\xfc\x00\x00\x00\x00IEND\xae" "B`\x82"sv},
    {"OversizedJobName", IPP_STATUS_OK, IPP_JSTATE_COMPLETED, "completed", nullptr,
     [](ipp_t* r) { ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, std::string(20000, 'x').c_str()); }},
    // Printed on the printer's own paper, as the answer says (PAPPL 1.3.1
    // ignores ipp-attribute-fidelity).
    {"NoSuchPaper", IPP_STATUS_OK_IGNORED_OR_SUBSTITUTED, IPP_JSTATE_COMPLETED, "Ignoring unsupported media-col",
     nullptr, [](ipp_t* r) { Media(r, "na_nowhere_3x3in"); }},
};

// No job leaves a file in the spool or the temporary folder. PAPPL drops a
// job's saved attributes at its next save of the state, which waits for
// its main loop to wake: a client connecting wakes it.
bool FilesGone(const Server& server)
{
    const auto empty = [&](const char* folder) {
        return std::ranges::none_of(std::filesystem::recursive_directory_iterator(server.dir.File(folder)),
                                    [](const auto& entry) { return entry.is_regular_file(); });
    };
    return Eventually([&] {
        httpClose(Connect(server.port));
        return empty("spool") && empty("tmp");
    }, 100, 50);
}

class Hostile : public SharedServer<true>, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(Hostile, HasADefinedOutcomeAndLeavesNothing)
{
    const HostileCase& c = GetParam();
    const std::string path = server->dir.File(c.name);
    if (!c.content.empty()) {
        WriteFile(path, Bytes(c.content.begin(), c.content.end()));
    } else {
        GreyPage(path, c.bend);
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - c.cut);
    }
    const std::string uri = server->Uri("mono");
    ipp_t* request = PrintRequest(uri, c.format);
    if (c.attributes != nullptr)
        c.attributes(request);
    const JobResult sent = Send(*server, "mono", request, path);
    EXPECT_EQ(sent.status, c.status) << sent.message;
    ASSERT_NE(sent.id, 0) << sent.message;
    const JobResult job = WaitForJob(server->port, uri, sent.id);
    EXPECT_EQ(job.state, c.state);
    const std::string message = sent.message + " / " + job.message;
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    EXPECT_EQ(Children(server->running.pid), "");
    EXPECT_TRUE(FilesGone(*server));
    ExpectNextPrints(*server, "mono", std::string(c.name) + "-next");
}

INSTANTIATE_TEST_SUITE_P(Requests, Hostile, ::testing::ValuesIn(kHostile), kByName);

}  // namespace
