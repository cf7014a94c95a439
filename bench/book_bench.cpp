// orfeo-book-bench: one page's time, page by page over a book (orfeo-make-book), for each way of making
// its back subscan and its merge, next to the floor of FreeImage's codec.
//
//   orfeo-book-bench [--runs N] FOLDER1 FOLDER2
//
// For every page of FOLDER1 (its mask in FOLDER1/cache/automask/, its new page of the same name in FOLDER2)
// it times, N times each (default 3; the median counts):
//   floor    FreeImage decodes the page and encodes it again as TIFF (flags 0): what any way that decodes
//            and encodes every pixel costs at least;
//   decoded  the back subscan the way every page took before the strip copy: decode page and mask, the rule
//            in memory, encode with FreeImage (flags 0), written and flushed as the jobs write;
//   copied   the strip copy as a page worker does it: the page's header and the mask, then CopyStrips;
//   file     copying the page's file and flushing it to the disk, what a page that needs no change costs;
// and the same two ways for the merge (with the back subscan each way wrote). It checks that both ways
// give the same pixels, and prints a Markdown table by kind of page, and the whole book's totals. The
// jobs' own overhead (workers, locks, renames) is not in these times: bench/compare times whole runs.

#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/SamePicture.h"
#include "process/PageMemory.h"
#include "protocol/MessageSink.h"
#include "worker/ImageLibrary.h"
#include "worker/ImageLoad.h"
#include "worker/ImageSave.h"
#include "worker/PixelRules.h"
#include "worker/StripCopy.h"

namespace {

namespace fs = std::filesystem;
using orfeo::ImagePtr;

class Quiet final : public orfeo::IMessageSink {
public:
    void ShowMessage(orfeo::MessageKind, const std::string& text) override {
        std::fprintf(stderr, "orfeo-book-bench: %s\n", text.c_str());
    }
};

double MedianMs(unsigned runs, const std::function<bool()>& work) {
    std::vector<double> times;
    for (unsigned i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!work()) return -1;
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

bool Decoded(const fs::path& page, const fs::path& back, const fs::path& mask, const fs::path& output) {
    Quiet quiet;
    const ImagePtr pageImage = orfeo::LoadImageFile(page.string(), quiet);
    const ImagePtr maskImage = orfeo::LoadImageFile(mask.string(), quiet);
    const ImagePtr backImage = back.empty() ? nullptr : orfeo::LoadImageFile(back.string(), quiet);
    if (!pageImage || !maskImage || (!back.empty() && !backImage)) return false;
    const orfeo::PixelResult result =
        back.empty() ? orfeo::MakeBackSubscan(pageImage.get(), maskImage.get())
                     : orfeo::MergeSubscan(pageImage.get(), backImage.get(), maskImage.get());
    return result.image && orfeo::SaveImageFile(result.image.get(), output.string(), quiet);
}

bool Copied(const fs::path& page, const fs::path& back, const fs::path& mask, const fs::path& output) {
    Quiet quiet;
    const ImagePtr maskImage = orfeo::LoadImageFile(mask.string(), quiet);
    int error = 0;
    const bool written =
        maskImage && orfeo::CopyStripsBetween(page.string(), back.string(), maskImage.get(), output.string(),
                                              600, error) == orfeo::StripCopyOutcome::Written;
    if (!written) std::fprintf(stderr, "orfeo-book-bench: %s not copied\n", page.c_str());
    return written;
}

bool CopyFile(const fs::path& page, const fs::path& output) {
    const int in = ::open(page.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char> buffer(1 << 20);
    bool ok = in >= 0 && out >= 0;
    for (ssize_t got; ok && (got = ::read(in, buffer.data(), buffer.size())) > 0;)
        ok = ::write(out, buffer.data(), static_cast<std::size_t>(got)) == got;
    ok = ok && ::fsync(out) == 0;
    if (in >= 0) ::close(in);
    if (out >= 0) ok = ::close(out) == 0 && ok;
    return ok;
}

bool Floor(const fs::path& page, const fs::path& output) {
    FIBITMAP* image = FreeImage_Load(FIF_TIFF, page.c_str(), 0);
    if (!image) return false;
    FreeImage_SetTransparent(image, FALSE);
    const bool saved = FreeImage_Save(FIF_TIFF, image, output.c_str(), 0);
    FreeImage_Unload(image);
    return saved;
}

bool SamePixels(const fs::path& a, const fs::path& b) {
    Quiet quiet;
    const ImagePtr x = orfeo::LoadImageFile(a.string(), quiet), y = orfeo::LoadImageFile(b.string(), quiet);
    return x && y && orfeo::bench::PictureDifference(x.get(), y.get()).empty();
}

// A page's kind, as the table groups them: size, depth, coding, and whether its mask marks anything.
std::string Kind(const fs::path& page, const fs::path& mask) {
    Quiet quiet;
    const ImagePtr header = orfeo::LoadImageHeader(page.string(), quiet, 600);
    const ImagePtr maskImage = orfeo::LoadImageFile(mask.string(), quiet);
    if (!header || !maskImage) return "?";
    bool marked = false;
    const unsigned bytes = (FreeImage_GetWidth(header.get()) + 7) / 8;
    for (unsigned row = 0; row < FreeImage_GetHeight(header.get()) && !marked; ++row) {
        const BYTE* line = FreeImage_GetScanLine(maskImage.get(), static_cast<int>(row));
        marked = std::any_of(line, line + bytes, [](BYTE b) { return b != 0; });
    }
    std::uint16_t compression = COMPRESSION_NONE;
    if (TIFF* tiff = TIFFOpen(page.c_str(), "r")) {
        TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
        TIFFClose(tiff);
    }
    const char* coding = compression == COMPRESSION_NONE        ? "uncompressed"
                         : compression == COMPRESSION_LZW       ? "LZW"
                         : compression == COMPRESSION_CCITTFAX4 ? "G4"
                                                                : "other";
    char text[160];
    std::snprintf(text, sizeof text, "%u x %u, %u-bit, %s, %s", FreeImage_GetWidth(header.get()),
                  FreeImage_GetHeight(header.get()), FreeImage_GetBPP(header.get()), coding,
                  marked ? "marked" : "empty mask");
    return text;
}

struct Times {
    unsigned pages = 0;
    double file = 0, floor = 0, decodedBack = 0, copiedBack = 0, decodedMerge = 0, copiedMerge = 0;
};

}  // namespace

int main(int argc, char** argv) {
    unsigned runs = 3;
    int i = 1;
    if (argc > 2 && std::strcmp(argv[1], "--runs") == 0) {
        runs = static_cast<unsigned>(std::max(1, std::atoi(argv[2])));
        i = 3;
    }
    if (argc - i != 2) {
        std::fprintf(stderr, "Usage: orfeo-book-bench [--runs N] FOLDER1 FOLDER2\n");
        return 2;
    }
    orfeo::QuietImageLibraries();
    // Freed page memory kept for the next page, as the page workers keep it: else every page would pay for
    // mapping its buffers afresh, which no page costs in a run.
    orfeo::KeepPageMemory();
    const fs::path book = argv[i], book2 = argv[i + 1];
    const fs::path work = fs::temp_directory_path() / ("orfeo-book-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    std::vector<fs::path> pages;
    for (const auto& entry : fs::directory_iterator(book))
        if (entry.is_regular_file() && entry.path().extension() == ".tif") pages.push_back(entry.path());
    std::sort(pages.begin(), pages.end());

    std::map<std::string, Times> byKind;
    Times total;
    bool same = true;
    for (const fs::path& page : pages) {
        const fs::path mask = book / "cache" / "automask" / page.filename();
        const fs::path newPage = book2 / page.filename();
        const fs::path floorOut = work / "floor.tif", decodedBack = work / "back-decoded.tif",
                       copiedBack = work / "back-copied.tif", decodedMerge = work / "merge-decoded.tif",
                       copiedMerge = work / "merge-copied.tif";
        Times t;
        t.pages = 1;
        t.file = MedianMs(runs, [&] { return CopyFile(page, floorOut); });
        t.floor = MedianMs(runs, [&] { return Floor(page, floorOut); });
        t.decodedBack = MedianMs(runs, [&] { return Decoded(page, {}, mask, decodedBack); });
        t.copiedBack = MedianMs(runs, [&] { return Copied(page, {}, mask, copiedBack); });
        t.decodedMerge = MedianMs(runs, [&] { return Decoded(newPage, decodedBack, mask, decodedMerge); });
        t.copiedMerge = MedianMs(runs, [&] { return Copied(newPage, copiedBack, mask, copiedMerge); });
        if (t.file < 0 || t.floor < 0 || t.decodedBack < 0 || t.copiedBack < 0 || t.decodedMerge < 0 ||
            t.copiedMerge < 0) {
            std::fprintf(stderr, "orfeo-book-bench: %s failed\n", page.c_str());
            return 1;
        }
        if (!SamePixels(decodedBack, copiedBack) || !SamePixels(decodedMerge, copiedMerge)) {
            std::fprintf(stderr, "orfeo-book-bench: %s: the two ways differ\n", page.c_str());
            same = false;
        }
        Times& kind = byKind[Kind(page, mask)];
        for (Times* sum : {&kind, &total}) {
            sum->pages += 1;
            sum->file += t.file;
            sum->floor += t.floor;
            sum->decodedBack += t.decodedBack;
            sum->copiedBack += t.copiedBack;
            sum->decodedMerge += t.decodedMerge;
            sum->copiedMerge += t.copiedMerge;
        }
    }
    fs::remove_all(work);

    std::printf(
        "| Pages | n | File copy | Codec floor | Back: decoded | Back: copied | Merge: decoded | Merge: "
        "copied |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    auto row = [](const std::string& name, const Times& t, bool perPage) {
        const double n = perPage ? t.pages : 1;
        std::printf(
            "| %s | %u | %.1f ms | %.1f ms | %.1f ms | %.1f ms (%.1fx) | %.1f ms | %.1f ms (%.1fx) |\n",
            name.c_str(), t.pages, t.file / n, t.floor / n, t.decodedBack / n, t.copiedBack / n,
            t.decodedBack / t.copiedBack, t.decodedMerge / n, t.copiedMerge / n,
            t.decodedMerge / t.copiedMerge);
    };
    for (const auto& [name, t] : byKind) row(name + " (a page)", t, true);
    row("**Whole book**", total, false);
    std::printf(
        "\nPer page: the median of %u runs. The factor is the decoded way's time over the copied one's.\n",
        runs);
    return same ? 0 : 1;
}
