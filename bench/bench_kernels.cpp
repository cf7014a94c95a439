// orfeo-bench: how fast Orfeo's core runs on page-sized inputs.
//
//   BM_Memcpy, BM_Allocate, BM_AllocateAndMemcpy
//                                     the floor: a plain copy of a page's bits into a reused buffer, the
//                                     allocation of a page-sized FreeImage bitmap (as the pixel rules make
//                                     for their result), and both together
//   BM_MakeBackSubscan, BM_MergeSubscan
//                                     the pixel rules on a 600 dpi A4 page (4960 x 7016) with a text-area
//                                     mask, result allocation included; bytes/s counts width * height *
//                                     bytes per pixel of the page per iteration
//   BM_CreateBackSubscans             the whole job over a folder of generated 300 dpi A4 TIFF pages
//   BM_SortByName                     sorting a scan list of 100,000 shuffled names
//
// Every input is generated from fixed seeds (bench/BookPages.h), so each run measures the same pages
// and masks.

#include <FreeImage.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "bench/BookPages.h"
#include "process/PageMemory.h"
#include "protocol/MessageSink.h"
#include "run/BackSubscans.h"
#include "scan/CScanList.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"
#include "scan/TextField.h"
#include "worker/ImagePtr.h"
#include "worker/ImageSave.h"
#include "worker/PixelRules.h"
#include "worker/PixelRulesInto.h"

namespace {

namespace fs = std::filesystem;
using orfeo::ImagePtr;

using orfeo::bench::kA4Height300;
using orfeo::bench::kA4Height600;
using orfeo::bench::kA4Width300;
using orfeo::bench::kA4Width600;
using orfeo::bench::MakeMask;
using orfeo::bench::MakePage;
using orfeo::bench::Rng;

struct MaskStats {
    double markedPercent = 0;  // pixels marked
    double mixedPercent = 0;   // mask bytes that mark some but not all of their eight pixels
};

MaskStats Measure(FIBITMAP* mask) {
    const unsigned width = FreeImage_GetWidth(mask), height = FreeImage_GetHeight(mask);
    const unsigned fullBytes = width / 8;
    std::uint64_t marked = 0, mixed = 0;
    for (unsigned y = 0; y < height; ++y) {
        const BYTE* row = FreeImage_GetScanLine(mask, static_cast<int>(y));
        for (unsigned i = 0; i < fullBytes; ++i) {
            marked += static_cast<unsigned>(std::popcount(row[i]));
            mixed += (row[i] != 0x00 && row[i] != 0xFF) ? 1 : 0;
        }
    }
    return {100.0 * static_cast<double>(marked) / (double{1} * fullBytes * 8 * height),
            100.0 * static_cast<double>(mixed) / (double{1} * fullBytes * height)};
}

// The inputs of the pixel-rule benchmarks at one depth, built once.
struct KernelInputs {
    ImagePtr page, newPage, back, mask;
    MaskStats stats;
    std::size_t pageBytes = 0;  // width * height * bytes per pixel
    bool ok = false;
};

KernelInputs BuildInputs(unsigned bpp) {
    KernelInputs in;
    in.page = MakePage(kA4Width600, kA4Height600, 0x0F1E0001);
    in.newPage = MakePage(kA4Width600, kA4Height600, 0x0F1E0002);
    in.mask = MakeMask(kA4Width600, kA4Height600, 0x0F1E0003);
    if (!in.page || !in.newPage || !in.mask) return in;
    if (bpp == 24) {
        in.page.reset(FreeImage_ConvertTo24Bits(in.page.get()));
        in.newPage.reset(FreeImage_ConvertTo24Bits(in.newPage.get()));
        if (!in.page || !in.newPage) return in;
    }
    orfeo::PixelResult back = orfeo::MakeBackSubscan(in.page.get(), in.mask.get());
    if (back.status != orfeo::PixelStatus::Ok) return in;
    in.back = std::move(back.image);
    in.stats = Measure(in.mask.get());
    in.pageBytes = std::size_t{kA4Width600} * kA4Height600 * (bpp / 8);
    in.ok = true;
    return in;
}

const KernelInputs& Inputs(benchmark::State& state) {
    if (state.range(0) == 24) {
        static const KernelInputs rgb = BuildInputs(24);
        return rgb;
    }
    static const KernelInputs grey = BuildInputs(8);
    return grey;
}

void ReportPageBytes(benchmark::State& state, const KernelInputs& in) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.pageBytes));
    state.counters["mask_marked_pct"] = in.stats.markedPercent;
    state.counters["mask_mixed_pct"] = in.stats.mixedPercent;
}

void BM_Memcpy(benchmark::State& state) {
    const KernelInputs& in = Inputs(state);
    if (!in.ok) return state.SkipWithError("could not build the inputs");
    std::vector<std::uint8_t> target(in.pageBytes, 0);
    const BYTE* source = FreeImage_GetBits(in.page.get());
    for (auto _ : state) {
        std::memcpy(target.data(), source, in.pageBytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    ReportPageBytes(state, in);
}

void BM_Allocate(benchmark::State& state) {
    const KernelInputs& in = Inputs(state);
    if (!in.ok) return state.SkipWithError("could not build the inputs");
    const int bpp = static_cast<int>(FreeImage_GetBPP(in.page.get()));
    for (auto _ : state) {
        ImagePtr image(
            FreeImage_Allocate(static_cast<int>(kA4Width600), static_cast<int>(kA4Height600), bpp));
        if (!image) {
            state.SkipWithError("allocation failed");
            break;
        }
        benchmark::DoNotOptimize(image.get());
        benchmark::ClobberMemory();
    }
    ReportPageBytes(state, in);
}

void BM_AllocateAndMemcpy(benchmark::State& state) {
    const KernelInputs& in = Inputs(state);
    if (!in.ok) return state.SkipWithError("could not build the inputs");
    const BYTE* source = FreeImage_GetBits(in.page.get());
    const int bpp = static_cast<int>(FreeImage_GetBPP(in.page.get()));
    for (auto _ : state) {
        ImagePtr copy(FreeImage_Allocate(static_cast<int>(kA4Width600), static_cast<int>(kA4Height600), bpp));
        if (!copy) {
            state.SkipWithError("allocation failed");
            break;
        }
        std::memcpy(FreeImage_GetBits(copy.get()), source, in.pageBytes);
        benchmark::DoNotOptimize(copy.get());
        benchmark::ClobberMemory();
    }
    ReportPageBytes(state, in);
}

void BM_MakeBackSubscan(benchmark::State& state) {
    const KernelInputs& in = Inputs(state);
    if (!in.ok) return state.SkipWithError("could not build the inputs");
    for (auto _ : state) {
        orfeo::PixelResult result = orfeo::MakeBackSubscan(in.page.get(), in.mask.get());
        if (result.status != orfeo::PixelStatus::Ok) {
            state.SkipWithError("MakeBackSubscan gave no result");
            break;
        }
        benchmark::DoNotOptimize(result.image.get());
        benchmark::ClobberMemory();
    }
    ReportPageBytes(state, in);
}

void BM_MergeSubscan(benchmark::State& state) {
    const KernelInputs& in = Inputs(state);
    if (!in.ok) return state.SkipWithError("could not build the inputs");
    for (auto _ : state) {
        orfeo::PixelResult result = orfeo::MergeSubscan(in.newPage.get(), in.back.get(), in.mask.get());
        if (result.status != orfeo::PixelStatus::Ok) {
            state.SkipWithError("MergeSubscan gave no result");
            break;
        }
        benchmark::DoNotOptimize(result.image.get());
        benchmark::ClobberMemory();
    }
    ReportPageBytes(state, in);
}

// The rules alone, into a result that stays allocated across iterations (as memcpy's target does).
void BM_MakeBackSubscanInto(benchmark::State& state) {
    const KernelInputs& in = Inputs(state);
    if (!in.ok) return state.SkipWithError("could not build the inputs");
    ImagePtr result(FreeImage_Clone(in.back.get()));
    for (auto _ : state) {
        if (orfeo::MakeBackSubscanInto(result.get(), in.page.get(), in.mask.get()) !=
            orfeo::IntoStatus::Written) {
            state.SkipWithError("MakeBackSubscanInto wrote nothing");
            break;
        }
        benchmark::DoNotOptimize(result.get());
        benchmark::ClobberMemory();
    }
    ReportPageBytes(state, in);
}

void BM_MergeSubscanInto(benchmark::State& state) {
    const KernelInputs& in = Inputs(state);
    if (!in.ok) return state.SkipWithError("could not build the inputs");
    ImagePtr result(FreeImage_Clone(in.back.get()));
    for (auto _ : state) {
        if (orfeo::MergeSubscanInto(result.get(), in.newPage.get(), in.back.get(), in.mask.get()) !=
            orfeo::IntoStatus::Written) {
            state.SkipWithError("MergeSubscanInto wrote nothing");
            break;
        }
        benchmark::DoNotOptimize(result.get());
        benchmark::ClobberMemory();
    }
    ReportPageBytes(state, in);
}

BENCHMARK(BM_Memcpy)->ArgName("bpp")->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Allocate)->ArgName("bpp")->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllocateAndMemcpy)->ArgName("bpp")->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakeBackSubscan)->ArgName("bpp")->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeSubscan)->ArgName("bpp")->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakeBackSubscanInto)->ArgName("bpp")->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeSubscanInto)->ArgName("bpp")->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);

// Keeps count of the problems a job reports and shows nothing.
class DiscardingSink final : public orfeo::IMessageSink {
public:
    void ShowMessage(orfeo::MessageKind kind, const std::string&) override {
        if (kind == orfeo::MessageKind::Problem) ++problems;
    }
    std::size_t problems = 0;
};

// A new, empty folder under the system's temporary folder, removed with everything in it at the end.
class TemporaryFolder {
public:
    TemporaryFolder() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const fs::path candidate =
                fs::temp_directory_path() / ("orfeo-bench-" + std::to_string(::getpid()) + "-" +
                                             std::to_string(stamp) + "-" + std::to_string(attempt));
            std::error_code error;
            if (fs::create_directory(candidate, error)) {
                m_path = candidate;
                return;
            }
        }
    }
    ~TemporaryFolder() {
        std::error_code error;
        if (!m_path.empty()) fs::remove_all(m_path, error);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

constexpr int kBatchPages = 4;

void BM_CreateBackSubscans(benchmark::State& state) {
    TemporaryFolder folder;
    if (folder.Path().empty()) return state.SkipWithError("could not create a temporary folder");
    const std::string input = orfeo::WithTrailingSeparator(folder.Path().string());
    std::error_code error;
    fs::create_directories(input + orfeo::kMaskSubfolder, error);

    DiscardingSink sink;
    std::size_t bytes = 0;
    for (int i = 0; i < kBatchPages; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "page%03d.tif", i + 1);
        const ImagePtr page = MakePage(kA4Width300, kA4Height300, 0xB0070000u + static_cast<unsigned>(i));
        const ImagePtr mask = MakeMask(kA4Width300, kA4Height300, 0xB0078000u + static_cast<unsigned>(i));
        if (!page || !mask || !orfeo::SaveImageFile(page.get(), input + name, sink) ||
            !orfeo::SaveImageFile(mask.get(), input + orfeo::kMaskSubfolder + name, sink)) {
            return state.SkipWithError("could not write the generated pages");
        }
        bytes += std::size_t{kA4Width300} * kA4Height300;
    }

    orfeo::CScanList list;
    orfeo::TextHolder inputField, outputField;
    orfeo::ScanFolder(folder.Path().string(), list, inputField, outputField, orfeo::kPicsSubfolder);
    if (list.GetSize() != kBatchPages) return state.SkipWithError("the folder scan did not list the pages");

    for (auto _ : state) {
        const orfeo::BatchResult result =
            orfeo::CreateBackSubscans(list, inputField.GetText(), outputField.GetText(), sink);
        if (!result.Succeeded() || sink.problems != 0) {
            state.SkipWithError("CreateBackSubscans did not write every page");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBatchPages);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

BENCHMARK(BM_CreateBackSubscans)->Unit(benchmark::kMillisecond)->Iterations(3);

constexpr int kSortEntries = 100000;

void BM_SortByName(benchmark::State& state) {
    std::vector<orfeo::ScanEntry> entries;
    entries.reserve(kSortEntries);
    for (int i = 0; i < kSortEntries; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "page%06d.tif", i);
        entries.push_back({name, std::string("/scans/book/") + name});
    }
    Rng rng(0x5087);
    for (std::size_t i = entries.size() - 1; i > 0; --i) {  // Fisher-Yates
        std::swap(entries[i], entries[rng.Next() % (i + 1)]);
    }

    orfeo::CScanList list;
    for (auto _ : state) {
        state.PauseTiming();
        list.RemoveAll();
        for (const orfeo::ScanEntry& entry : entries) list.Add(entry);
        state.ResumeTiming();
        list.SortByName();
    }
    if (list.GetSize() != kSortEntries || list.GetAt(0).name != "page000000.tif" ||
        list.GetAt(kSortEntries - 1).name != "page099999.tif") {
        state.SkipWithError("the list did not come out sorted");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kSortEntries);
}

BENCHMARK(BM_SortByName)->Unit(benchmark::kMillisecond);

// Before and after KeepPageMemory: what a page-sized buffer costs on the per-page path when it is fresh
// (mapped anew, every page faulted in) and when freed memory is kept for the next page. The "after" runs
// switch the process over for good, so these come last.
void BM_PageBuffer(benchmark::State& state) {
    if (state.range(0) == 1) orfeo::KeepPageMemory();
    const std::size_t bytes = std::size_t{kA4Width600} * kA4Height600;
    for (auto _ : state) {
        ImagePtr image(FreeImage_Allocate(static_cast<int>(kA4Width600), static_cast<int>(kA4Height600), 8));
        if (!image) {
            state.SkipWithError("allocation failed");
            break;
        }
        std::memset(FreeImage_GetBits(image.get()), 0x55, bytes);  // as a load or a rule writes it
        benchmark::DoNotOptimize(image.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

BENCHMARK(BM_PageBuffer)->ArgName("kept")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The rules as the jobs call them (result allocated each time), with kept memory: compare BM_MakeBackSubscan.
void BM_MakeBackSubscanKeptMemory(benchmark::State& state) {
    orfeo::KeepPageMemory();
    BM_MakeBackSubscan(state);
}

void BM_MergeSubscanKeptMemory(benchmark::State& state) {
    orfeo::KeepPageMemory();
    BM_MergeSubscan(state);
}

BENCHMARK(BM_MakeBackSubscanKeptMemory)->ArgName("bpp")->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeSubscanKeptMemory)->ArgName("bpp")->Arg(8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
