// orfeo-page-split: where the time of one back subscan goes, next to what FreeImage alone needs to read and
// write the same files.
//
//   orfeo-page-split [--runs N] [--workers W] [--label TEXT] [--summary FILE] PAGE MASK SCRATCH_FOLDER
//
// Each run times, in this order: Orfeo's load of the page and of the mask (orfeo::LoadImageFile), the back
// subscan as the jobs make it (orfeo::MakeBackSubscan: a fresh result, so allocation included), the rules
// alone into a result held across runs (orfeo::MakeBackSubscanInto), Orfeo's save of the result
// (orfeo::SaveImageFile, to SCRATCH_FOLDER/orfeo.tif); then the floor: FreeImage_Load of the page and of
// the mask and FreeImage_Save of the result with flags 0 (to SCRATCH_FOLDER/floor.tif). Each step's median
// over N runs (default 5) is printed as rows of a Markdown table (label, step, Orfeo, floor); allocation is
// the difference of the two rule timings. The per-page totals are also given divided by W (default 1), the
// workers a batch spreads its pages over. --summary writes `orfeo_ms=`, `floor_ms=` and the rest as
// key=value lines to FILE. The process keeps freed page memory as orfeo-cli does (orfeo::KeepPageMemory).

#include <FreeImage.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "process/PageMemory.h"
#include "protocol/MessageSink.h"
#include "worker/ImageLoad.h"
#include "worker/ImagePtr.h"
#include "worker/ImageSave.h"
#include "worker/PixelRules.h"
#include "worker/PixelRulesInto.h"

namespace {

namespace fs = std::filesystem;
using orfeo::ImagePtr;
using Clock = std::chrono::steady_clock;

class DiscardingSink final : public orfeo::IMessageSink {
public:
    void ShowMessage(orfeo::MessageKind kind, const std::string&) override {
        if (kind == orfeo::MessageKind::Problem) ++problems;
    }
    std::size_t problems = 0;
};

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

int Usage() {
    std::fprintf(stderr,
                 "Usage: orfeo-page-split [--runs N] [--workers W] [--label TEXT] [--summary FILE] PAGE MASK "
                 "SCRATCH_FOLDER\n");
    return 2;
}

bool ParseCount(std::string_view text, unsigned& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value > 0;
}

int Fail(const char* what) {
    std::fprintf(stderr, "orfeo-page-split: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    orfeo::KeepPageMemory();  // as orfeo-cli does before its first job

    unsigned runs = 5, workers = 1;
    std::string label, summaryPath;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            if (!ParseCount(argv[++i], runs)) return Usage();
        } else if (arg == "--workers" && i + 1 < argc) {
            if (!ParseCount(argv[++i], workers)) return Usage();
        } else if (arg == "--label" && i + 1 < argc) {
            label = argv[++i];
        } else if (arg == "--summary" && i + 1 < argc) {
            summaryPath = argv[++i];
        } else {
            break;
        }
    }
    if (argc - i != 3) return Usage();
    const std::string pagePath = argv[i], maskPath = argv[i + 1];
    const fs::path scratch = argv[i + 2];
    const std::string orfeoOut = (scratch / "orfeo.tif").string(),
                      floorOut = (scratch / "floor.tif").string();
    if (label.empty()) label = fs::path(pagePath).filename().string();

    DiscardingSink sink;
    std::map<std::string, std::vector<double>> times;
    ImagePtr held;
    for (unsigned run = 0; run < runs; ++run) {
        Clock::time_point start = Clock::now();
        const ImagePtr page = orfeo::LoadImageFile(pagePath, sink);
        times["load_page"].push_back(MillisecondsSince(start));
        start = Clock::now();
        const ImagePtr mask = orfeo::LoadImageFile(maskPath, sink);
        times["load_mask"].push_back(MillisecondsSince(start));
        if (!page || !mask) return Fail("the page or the mask does not load");

        start = Clock::now();
        orfeo::PixelResult result = orfeo::MakeBackSubscan(page.get(), mask.get());
        times["make"].push_back(MillisecondsSince(start));
        if (result.status != orfeo::PixelStatus::Ok) return Fail("MakeBackSubscan gave no result");

        if (!held) held.reset(FreeImage_Clone(result.image.get()));
        if (!held) return Fail("out of memory");
        start = Clock::now();
        const orfeo::IntoStatus into = orfeo::MakeBackSubscanInto(held.get(), page.get(), mask.get());
        times["into"].push_back(MillisecondsSince(start));
        if (into != orfeo::IntoStatus::Written) return Fail("MakeBackSubscanInto wrote nothing");

        start = Clock::now();
        const bool saved = orfeo::SaveImageFile(result.image.get(), orfeoOut, sink);
        times["save"].push_back(MillisecondsSince(start));
        if (!saved) return Fail("SaveImageFile failed");

        // The floor: FreeImage by itself, flags 0, the format known in advance.
        start = Clock::now();
        const ImagePtr rawPage(FreeImage_Load(FIF_TIFF, pagePath.c_str(), 0));
        times["floor_load_page"].push_back(MillisecondsSince(start));
        start = Clock::now();
        const ImagePtr rawMask(FreeImage_Load(FIF_TIFF, maskPath.c_str(), 0));
        times["floor_load_mask"].push_back(MillisecondsSince(start));
        if (!rawPage || !rawMask) return Fail("FreeImage_Load failed");
        start = Clock::now();
        const bool rawSaved = FreeImage_Save(FIF_TIFF, result.image.get(), floorOut.c_str(), 0);
        times["floor_save"].push_back(MillisecondsSince(start));
        if (!rawSaved) return Fail("FreeImage_Save failed");
    }
    std::error_code error;
    fs::remove(orfeoOut, error);
    fs::remove(floorOut, error);

    std::map<std::string, double> m;
    for (const auto& [key, values] : times) m[key] = Median(values);
    const double compute = m["into"];
    const double allocation = std::max(0.0, m["make"] - m["into"]);
    const double orfeoTotal = m["load_page"] + m["load_mask"] + m["make"] + m["save"];
    const double floorTotal = m["floor_load_page"] + m["floor_load_mask"] + m["floor_save"];

    const char* l = label.c_str();
    std::printf("| %s | load page | %.1f | %.1f |\n", l, m["load_page"], m["floor_load_page"]);
    std::printf("| %s | load mask | %.1f | %.1f |\n", l, m["load_mask"], m["floor_load_mask"]);
    std::printf("| %s | compute (rules into a held result) | %.1f | — |\n", l, compute);
    std::printf("| %s | allocation (fresh result − held result) | %.1f | — |\n", l, allocation);
    std::printf("| %s | save (TIFF, LZW) | %.1f | %.1f |\n", l, m["save"], m["floor_save"]);
    std::printf("| %s | **total per page** | **%.1f** | **%.1f** (Orfeo = %.2f × floor) |\n", l, orfeoTotal,
                floorTotal, floorTotal > 0 ? orfeoTotal / floorTotal : 0.0);
    std::printf("| %s | total ÷ %u workers | %.1f | %.1f |\n", l, workers, orfeoTotal / workers,
                floorTotal / workers);

    if (!summaryPath.empty()) {
        std::FILE* summary = std::fopen(summaryPath.c_str(), "w");
        if (!summary) return Fail("could not write the summary");
        std::fprintf(summary, "orfeo_ms=%.3f\nfloor_ms=%.3f\nworkers=%u\n", orfeoTotal, floorTotal, workers);
        std::fprintf(summary, "compute_ms=%.3f\nallocation_ms=%.3f\nsave_ms=%.3f\nfloor_save_ms=%.3f\n",
                     compute, allocation, m["save"], m["floor_save"]);
        std::fprintf(summary, "load_ms=%.3f\nfloor_load_ms=%.3f\n", m["load_page"] + m["load_mask"],
                     m["floor_load_page"] + m["floor_load_mask"]);
        std::fclose(summary);
    }
    return sink.problems == 0 ? 0 : 1;
}
