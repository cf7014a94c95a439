#pragma once

#include <FreeImage.h>

#include <string>
#include <vector>

namespace orfeo {

// What loading and saving share of FreeImage and the libraries under it.

// FreeImage reports through a process-wide callback, and Debian's libtiff prints dozens of lines on every
// TIFF load: both are routed to the load running on the calling thread (see LoadComplaints), once for the
// process, and nothing reaches the console. Called by every load and save.
void QuietImageLibraries();

// While it lives, keeps what the image libraries say on this thread about a load: whether the data was cut
// short or broken (libjpeg's "Premature end" and "Corrupt JPEG data" but for its benign warnings, libtiff's
// "Read error" and every word of its fax decoders, such as a bad code word or a line of the wrong length in a
// CCITT G3 or G4 strip, FreeImage's "incomplete"), and whether an allocation failed.
class LoadComplaints {
public:
    LoadComplaints();
    ~LoadComplaints();
    LoadComplaints(const LoadComplaints&) = delete;
    LoadComplaints& operator=(const LoadComplaints&) = delete;
    bool Damaged() const;
    bool AllocationFailed() const;

private:
    std::vector<std::string> m_complaints;
};

// libjpeg's warnings that leave every pixel whole: bytes between two segments outside the scan data (not
// before a restart marker, where they mean that the decoder lost its place), and a broken colour-profile
// segment.
bool IsBenignJpegWarning(const char* text);

// The FreeImage format that the name of `path` stands for (FIF_UNKNOWN if none), `bitsPerPixel` choosing
// the PNM kind for ".pnm". Safe to call from several threads.
FREE_IMAGE_FORMAT FormatFromName(const std::string& path, unsigned bitsPerPixel = 8);

// PBM, PGM, PPM, raw or not (FreeImage finds every PNM file to be PBM by content).
bool IsPnmFamily(FREE_IMAGE_FORMAT format);

}  // namespace orfeo
