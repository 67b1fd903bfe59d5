#include "mono_driver.h"

#include <algorithm>
#include <cstring>

#include "appearance.h"
#include "document_job.h"
#include "raster_job.h"
#include "test_page.h"

AppSettings gSettings;

const pappl_pr_driver_t kDrivers[1] = {
    {kDriverName, "Generic Mono Laser 600", nullptr, nullptr},
};

namespace {

// The paper types the printer tells apart, in PaperWeight order.
constexpr const char* kMediaTypes[] = {"stationery", "stationery-heavyweight", "cardstock"};

void SetMediaCol(pappl_media_col_t& col, const Paper& paper, const pappl_pr_driver_data_t& data)
{
    std::memset(&col, 0, sizeof col);
    const pwg_media_t* size = pwgMediaForPWG(paper.pwgName.c_str());
    std::strncpy(col.size_name, paper.pwgName.c_str(), sizeof col.size_name - 1);
    col.size_width = size != nullptr ? size->width : 0;
    col.size_length = size != nullptr ? size->length : 0;
    col.left_margin = col.right_margin = data.left_right;
    col.bottom_margin = col.top_margin = data.bottom_top;
    std::strncpy(col.source, "main", sizeof col.source - 1);
    std::strncpy(col.type, kMediaTypes[0], sizeof col.type - 1);
}

// Device URIs the printer can be reached by: a USB printer, a network
// socket and, for tests, a file when the server allows it.
bool DeviceAllowed(const char* uri, std::string& why)
{
    for (const char* p = uri; *p != '\0'; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) {
            why = "the device URI holds control characters";
            return false;
        }
    if (std::strncmp(uri, "usb://", 6) == 0 || std::strncmp(uri, "socket://", 9) == 0)
        return true;
    if (std::strncmp(uri, "file://", 7) == 0) {
        if (gSettings.fileDevices)
            return true;
        why = "file:// devices are refused unless the server runs with -o file-devices=yes";
        return false;
    }
    why = "the printer is reached by usb:// or socket:// only";
    return false;
}

}  // namespace

void CreateCallback(pappl_printer_t* printer, void* /*data*/)
{
    // The printer reports nothing back, so its toner level is unknown; the
    // toner is still there, and IPP clients expect to be told of it.
    pappl_supply_t toner{};
    toner.color = PAPPL_SUPPLY_COLOR_BLACK;
    std::strncpy(toner.description, "Black Toner", sizeof toner.description - 1);
    toner.is_consumed = true;
    toner.level = -1;
    toner.type = PAPPL_SUPPLY_TYPE_TONER;
    papplPrinterSetSupplies(printer, 1, &toner);
}

bool DriverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri,
                    const char* /*deviceId*/, pappl_pr_driver_data_t* data, ipp_t** attrs, void* /*cbdata*/)
{
    if (std::strcmp(driverName, kDriverName) != 0 || gSettings.papers.empty()) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unknown driver '%s'.", driverName);
        return false;
    }
    std::string why;
    if (!DeviceAllowed(deviceUri, why)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Printer not created for '%s': %s.", deviceUri, why.c_str());
        return false;
    }

    std::strncpy(data->make_and_model, "Generic Mono Laser 600", sizeof data->make_and_model - 1);
    data->ppm = 20;
    data->ppm_color = 0;
    data->kind = PAPPL_KIND_DOCUMENT;
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->color_supported = static_cast<pappl_color_mode_t>(PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME |
                                                            PAPPL_COLOR_MODE_BI_LEVEL);
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    // 8-bit grey lines keep the client's page header, so its resolution and
    // size can be checked; one-bit pages pass through as they are.
    data->raster_types = static_cast<pappl_raster_type_t>(PAPPL_PWG_RASTER_TYPE_BLACK_1 |
                                                          PAPPL_PWG_RASTER_TYPE_SGRAY_8);
    data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
    data->duplex = PAPPL_DUPLEX_NONE;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;
    data->num_resolution = 1;
    data->x_resolution[0] = data->y_resolution[0] = 600;
    data->x_default = data->y_default = 600;

    // One margin for every paper: the widest unprintable edge of any.
    data->left_right = data->bottom_top = 0;
    for (const Paper& paper : gSettings.papers) {
        data->left_right = std::max({data->left_right, paper.marginLeft, paper.marginRight});
        data->bottom_top = std::max({data->bottom_top, paper.marginBottom, paper.marginTop});
    }
    data->num_media = 0;
    for (const Paper& paper : gSettings.papers)
        if (data->num_media < PAPPL_MAX_MEDIA)
            data->media[data->num_media++] = paper.pwgName.c_str();
    data->num_source = 1;
    data->source[0] = "main";
    data->num_type = static_cast<int>(std::size(kMediaTypes));
    std::copy(std::begin(kMediaTypes), std::end(kMediaTypes), data->type);
    const Paper* a4 = FindPaper(gSettings.papers, "iso_a4_210x297mm");
    const Paper& ready = a4 != nullptr ? *a4 : gSettings.papers.front();
    SetMediaCol(data->media_default, ready, *data);
    SetMediaCol(data->media_ready[0], ready, *data);

    // Five density levels, 25 apart; 25 is the printer's normal density.
    data->darkness_supported = 5;
    data->darkness_configured = 25;
    data->darkness_default = 0;

    SetIcons(*data);
    data->has_supplies = true;
    data->rstartjob_cb = StartJob;
    data->rstartpage_cb = StartPage;
    data->rwriteline_cb = WriteLine;
    data->rendpage_cb = EndPage;
    data->rendjob_cb = EndJob;
    data->testpage_cb = TestPage;
    // PDF, JPEG and PNG are registered as filters to this format, so that
    // they come before PAPPL's own image filters; a document of no known
    // type ends here with a reason.
    data->format = kDocumentFormat;
    data->printfile_cb = RefuseUnknownDocument;

    *attrs = ippNew();
    // Attributes IPP Everywhere clients ask for that PAPPL leaves out.
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr, "normal");
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr, "auto");
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported", nullptr, "auto");
    ippAddBoolean(*attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    return true;
}
