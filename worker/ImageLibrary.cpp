#include "worker/ImageLibrary.h"

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "scan/FolderScan.h"

namespace orfeo {

// libjpeg's warnings that leave every pixel whole: bytes between two segments outside the scan data (not
// before a restart marker, where they mean that the decoder lost its place), and a broken colour-profile
// segment. Cameras and editors write files that carry them.
bool IsBenignJpegWarning(const char* text) {
    if (std::strstr(text, "bad ICC marker")) return true;
    const char* marker = std::strstr(text, "extraneous bytes before marker 0x");
    if (!marker) return false;
    const unsigned long code =
        std::strtoul(marker + std::strlen("extraneous bytes before marker 0x"), nullptr, 16);
    return code < 0xD0 || code > 0xD7;
}

namespace {

// What the image libraries said that means damage during the load running on this thread (null when none
// is listening), and whether they said that an allocation failed.
thread_local std::vector<std::string>* t_loadComplaints = nullptr;
thread_local bool t_allocationFailed = false;

// The loaders decode what they can of a damaged file and say so only in messages such as libjpeg's
// "Premature end of JPEG file" or "Corrupt JPEG data: ..." (but for the benign ones above), libtiff's "Read
// error on strip ..." and FreeImage's "Image may be incomplete or contain invalid data". Only such texts
// count: other messages (metadata the library does not know, and libtiff's dozens of lines about unknown
// tags on every load) are no reason to refuse a page.
void CollectComplaint(const char* text) {
    if (!t_loadComplaints || !text) return;
    if (IsBenignJpegWarning(text)) return;
    if (std::strstr(text, "allocation failed") || std::strstr(text, "Memory allocation"))
        t_allocationFailed = true;
    for (const char* sign : {"Premature end", "Corrupt", "Read error", "incomplete", "truncated"}) {
        if (std::strstr(text, sign)) {
            t_loadComplaints->emplace_back(text);
            return;
        }
    }
}

void CollectFreeImageMessage(FREE_IMAGE_FORMAT, const char* text) { CollectComplaint(text); }

// libtiff's fax decoders go on past a bad code word or a line of the wrong length, and say so only as a
// warning (or an error that the loader does not pass on): every word from them means a damaged strip.
bool IsFaxDecoder(const char* module) {
    return module && (std::strcmp(module, "Fax3Decode1D") == 0 || std::strcmp(module, "Fax3Decode2D") == 0 ||
                      std::strcmp(module, "Fax4Decode") == 0 || std::strcmp(module, "Fax3DecodeRLE") == 0);
}

// libjpeg's words on a JPEG-compressed TIFF strip reach us through libtiff, as its warnings: corrupt data
// there is damage as it is in a JPEG file, and the benign ones are as benign.
bool IsJpegDecoder(const char* module) { return module && std::strcmp(module, "JPEGLib") == 0; }

void CollectTiffMessage(const char* module, const char* format, va_list arguments, bool warning) {
    if (!t_loadComplaints || !format) return;
    char text[256];
    std::vsnprintf(text, sizeof text, format, arguments);
    if (IsFaxDecoder(module)) {
        t_loadComplaints->emplace_back(text);
    } else if (!warning || IsJpegDecoder(module)) {
        CollectComplaint(text);
    }
}

void CollectTiffError(const char* module, const char* format, va_list arguments) {
    CollectTiffMessage(module, format, arguments, false);
}

void CollectTiffWarning(const char* module, const char* format, va_list arguments) {
    CollectTiffMessage(module, format, arguments, true);
}

}  // namespace

void QuietImageLibraries() {
    static const bool done = [] {
        FreeImage_SetOutputMessage(CollectFreeImageMessage);
        TIFFSetErrorHandler(CollectTiffError);
        TIFFSetWarningHandler(CollectTiffWarning);
        return true;
    }();
    (void)done;
}

LoadComplaints::LoadComplaints() {
    QuietImageLibraries();
    t_loadComplaints = &m_complaints;
    t_allocationFailed = false;
}

LoadComplaints::~LoadComplaints() { t_loadComplaints = nullptr; }

bool LoadComplaints::Damaged() const { return !m_complaints.empty(); }

bool LoadComplaints::AllocationFailed() const { return t_allocationFailed; }

bool IsPnmFamily(FREE_IMAGE_FORMAT format) {
    return format == FIF_PBM || format == FIF_PGM || format == FIF_PPM || format == FIF_PBMRAW ||
           format == FIF_PGMRAW || format == FIF_PPMRAW;
}

FREE_IMAGE_FORMAT FormatFromName(const std::string& path, unsigned bitsPerPixel) {
    if (GetFileExtension(path) == "pnm") {
        if (bitsPerPixel == 1) return FIF_PBM;
        if (bitsPerPixel == 8 || bitsPerPixel == 16) return FIF_PGM;
        return FIF_PPM;
    }
    // FreeImage tokenises the name with strtok, which is not safe from two threads at once.
    static std::mutex lookup;
    std::lock_guard<std::mutex> lock(lookup);
    return FreeImage_GetFIFFromFilename(path.c_str());
}

}  // namespace orfeo
