// The Printer Application as clients use it: the server as its systemd
// unit starts it, printers on raw ports, jobs sent over IPP, and every
// stream compared byte for byte with what the rastertomono filter writes
// for the same page through a CUPS queue with the PPD.

#include "app_support.h"

namespace {

struct SameBytesCase {  // NOLINT(clang-analyzer-optin.performance.Padding): read as a table
    const char* name;
    const char* ppdSize;
    const char* rasterMedia;  // the client's raster size
    bool eightBit;
    JobOptions job;
    int density, weight;  // what the CUPS queue is given
    int pages = 1;
    bool apple = false;  // Apple raster rather than PWG raster
};

// Sheets whose dots are all black or white, except in the bi-level and
// text cases, where grey must come out thresholded at the middle. Draft
// quality prints a density lighter, high quality one darker.
const SameBytesCase kSameBytes[] = {
    {"A4OneBitDefaults", "A4", "iso_a4_210x297mm", false, {}, 2, 1},
    {"LetterEightBitDarkCardstock", "Letter", "na_letter_8.5x11in", true,
     {"na_letter_8.5x11in", "cardstock", 50}, 4, 3},
    {"A5OneBitThickThreeCopies", "A5", "iso_a5_148x210mm", false,
     {"iso_a5_148x210mm", "stationery-heavyweight", 0, 3}, 2, 2},
    {"LegalGreyBiLevel", "Legal", "na_legal_8.5x14in", true,
     {"na_legal_8.5x14in", nullptr, 0, 1, "bi-level"}, 2, 1},
    {"B5OneBitLightestTwoPages", "ISOB5", "iso_b5_176x250mm", false,
     {"iso_b5_176x250mm", nullptr, -25}, 1, 1, 2},
    {"A5LongEdgeEightBitDarkest", "A5Rotated", "custom_a5rotated_209.9x148.17mm", true,
     {"custom_a5rotated_209.9x148.17mm", "stationery", 100}, 5, 1},
    {"LegalRasterOnA4IsClipped", "A4", "na_legal_8.5x14in", true, {}, 2, 1},
    {"A5OneBitRasterOnA4IsPaddedWhite", "A4", "iso_a5_148x210mm", false, {}, 2, 1},
    {"LetterAppleRaster", "Letter", "na_letter_8.5x11in", true, {"na_letter_8.5x11in"}, 2, 1, 1,
     true},
    {"A4GreyTextThresholds", "A4", "iso_a4_210x297mm", true, {.content = "text"}, 2, 1},
    {"A4OneBitDraftIsLighter", "A4", "iso_a4_210x297mm", false, {.quality = IPP_QUALITY_DRAFT}, 1, 1},
    {"A4OneBitHighIsDarker", "A4", "iso_a4_210x297mm", false, {.quality = IPP_QUALITY_HIGH}, 3, 1},
};

using AppTest = SharedServer;

class SameBytes : public AppTest, public ::testing::WithParamInterface<SameBytesCase> {};

TEST_P(SameBytes, AsTheFilterPrintsItThroughCups)
{
    const SameBytesCase& c = GetParam();
    std::vector<Sheet> sheets;
    sheets.reserve(static_cast<std::size_t>(c.pages));
    for (int i = 0; i < c.pages; ++i)
        sheets.push_back(
            MakeSheet(c.rasterMedia, static_cast<unsigned>(i + 1), c.job.colorMode != nullptr || c.job.content != nullptr));
    const std::string pwg = server->dir.File(std::string(c.name) + ".pwg");
    WritePwg(pwg, sheets, c.rasterMedia, c.eightBit, c.apple ? CUPS_RASTER_WRITE_APPLE : CUPS_RASTER_WRITE_PWG);

    const JobResult job = PrintFile(*server, "mono", c.name, pwg, c.job, c.apple ? "image/urf" : "image/pwg-raster");
    ASSERT_EQ(job.state, IPP_JSTATE_COMPLETED) << job.message;
    const Bytes expected =
        ThroughCups(sheets, c.ppdSize, c.density, c.weight, c.job.copies, server->dir.File(std::string(c.name) + ".ras"));
    EXPECT_TRUE(::SameBytes(server->Output("mono"), expected));
}

INSTANTIATE_TEST_SUITE_P(Pages, SameBytes, ::testing::ValuesIn(kSameBytes), kByName);

// Photos print grey on the finer, dispersed screen; graphics on the
// clustered one.
TEST_F(AppTest, PhotoContentPrintsGreyOnAnotherScreen)
{
    GreyPage(server->dir.File("grey.pwg"));
    Bytes printed[2];
    for (const char* content : {"photo", "graphic"}) {
        const JobResult job = PrintFile(*server, "mono", content, server->dir.File("grey.pwg"), {.content = content});
        ASSERT_EQ(job.state, IPP_JSTATE_COMPLETED) << job.message;
        printed[content[0] == 'g'] = server->Output("mono");
    }
    EXPECT_NE(printed[0], printed[1]);
    EXPECT_EQ(DecodeJob(printed[0]).settings->density, DecodeJob(printed[1]).settings->density);
}

// A printer that drops the connection in the middle of a job.
TEST_F(AppTest, DeviceThatFailsEndsTheJobWithAReason)
{
    server->AddPrinter("failing", 20000);
    GreyPage(server->dir.File("page.pwg"));
    const JobResult job = PrintFile(*server, "failing", "to-failing", server->dir.File("page.pwg"));
    EXPECT_EQ(job.state, IPP_JSTATE_ABORTED);
    EXPECT_NE(job.message.find("device"), std::string::npos) << job.message;
    ExpectNextPrints(*server, "mono", "after-failing");
}

// CUPS's own IPP Everywhere test file passes but for PWG 5100.14's list of
// required attributes: PAPPL 1.3.1 has no overrides-supported, and the
// printer can neither identify itself nor report its toner level.
TEST(AppServer, PassesIppEverywhereTestsButOverrides)
{
    Server server;
    server.AddPrinter("eve");
    const std::string pwg = server.dir.File("eve.pwg");
    WritePwg(pwg, {MakeSheet("iso_a4_210x297mm", 5, false)}, "iso_a4_210x297mm", false);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // printer-up-time counts whole seconds
    const RunResult run = RunProgram("ipptool", {"ipptool", "-tI", "-f", pwg, server.Uri("eve"),
                                                 "/usr/share/cups/ipptool/ipp-everywhere.test"});
    std::vector<std::string> failed;
    std::istringstream out(std::string(run.out.begin(), run.out.end()));
    for (std::string line; std::getline(out, line);)
        if (line.find("[FAIL]") != std::string::npos)
            failed.push_back(line.substr(line.find_first_not_of(' ')));
    ASSERT_EQ(failed.size(), 1U) << std::string(run.out.begin(), run.out.end());
    EXPECT_EQ(failed[0].rfind("PWG 5100.14 section 5.1/5.2", 0), 0U) << failed[0];
    // What driverless clients take for the paper in the printer, the
    // program for the printer's firmware, and the printer's number, which
    // a printer added while the server runs has from the start.
    const RunResult got = RunProgram("ipptool", {"ipptool", "-tv", server.Uri("eve"), "get-printer-attributes.test"});
    const std::string attributes(got.out.begin(), got.out.end());
    EXPECT_NE(attributes.find("printer-id (integer) = 1\n"), std::string::npos) << attributes;
    EXPECT_NE(attributes.find("media-ready (keyword) = iso_a4_210x297mm"), std::string::npos);
    EXPECT_NE(attributes.find("printer-firmware-name (1setOf nameWithoutLanguage) = " +
                              std::filesystem::path(server.program).filename().string()), std::string::npos)
        << attributes;
}

// The filter's last ERROR: line is the job's reason; so is a filter that
// cannot be started.
TEST(AppServer, FailedFilterAbortsTheJobWithItsReason)
{
    Server server;
    const std::string script = "#!/bin/sh\ncat >/dev/null\nprintf 'DEBUG: read\\nERROR: out of paper\\n' >&2\nexit 1\n";
    WriteFile(server.dir.File("failing"), Bytes(script.begin(), script.end()));
    std::filesystem::permissions(server.dir.File("failing"), std::filesystem::perms::owner_all);
    server.AddPrinter("mono");
    GreyPage(server.dir.File("page.pwg"));
    for (const auto& [filter, reason] :
         {std::pair{"failing", "the filter failed: out of paper"}, {"missing", "cannot run the filter"}}) {
        server.Stop();
        server.filter = server.dir.File(filter);
        server.Start();
        const JobResult job = PrintFile(server, "mono", filter, server.dir.File("page.pwg"));
        EXPECT_EQ(job.state, IPP_JSTATE_ABORTED);
        EXPECT_NE(job.message.find(reason), std::string::npos) << job.message;
    }
}

}  // namespace
