#include "worker/ImageLoad.h"

#include <cstdio>

#include "scan/FolderScan.h"
#include "worker/ImageLibrary.h"
#include "worker/TiffUnits.h"

#if defined(__unix__)
#include <unistd.h>
#endif

namespace orfeo {

namespace {

// An input file that Orfeo opened itself and FreeImage reads through its handle interface, so that
// FreeImage never sees the path; it notes when a read ran into the end of the file.
struct InputFile {
    std::FILE* file = nullptr;
    FreeImageIO io{};
    bool hitEnd = false;

    // Takes over `fd`.
    explicit InputFile(int fd) {
        io.read_proc = Read;
        io.write_proc = Write;
        io.seek_proc = Seek;
        io.tell_proc = Tell;
        file = fd < 0 ? nullptr : ::fdopen(fd, "rb");
        if (!file && fd >= 0) ::close(fd);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() {
        if (file) std::fclose(file);
    }
    static unsigned DLL_CALLCONV Read(void* buffer, unsigned size, unsigned count, fi_handle handle) {
        auto* self = static_cast<InputFile*>(handle);
        const std::size_t done = std::fread(buffer, size, count, self->file);
        if (done < count) self->hitEnd = true;
        return static_cast<unsigned>(done);
    }
    static unsigned DLL_CALLCONV Write(void*, unsigned, unsigned, fi_handle) { return 0; }
    static int DLL_CALLCONV Seek(fi_handle handle, long offset, int origin) {
        return std::fseek(static_cast<InputFile*>(handle)->file, offset, origin);
    }
    static long DLL_CALLCONV Tell(fi_handle handle) {
        return std::ftell(static_cast<InputFile*>(handle)->file);
    }
    void Rewind() {
        std::rewind(file);
        hitEnd = false;
    }
};

// The size of the first frame of a GIF, the one FreeImage decodes (the logical screen can be smaller):
// the blocks before it are stepped over. False when the file ends before a frame.
bool GifFrameSize(std::FILE* file, unsigned& width, unsigned& height) {
    unsigned char header[13];
    if (std::fread(header, 1, sizeof header, file) != sizeof header) return false;
    if (header[10] & 0x80) std::fseek(file, 3L << ((header[10] & 7) + 1), SEEK_CUR);
    for (;;) {
        const int block = std::fgetc(file);
        if (block == 0x2C) {
            unsigned char descriptor[8];
            if (std::fread(descriptor, 1, sizeof descriptor, file) != sizeof descriptor) return false;
            width = descriptor[4] | (descriptor[5] << 8);
            height = descriptor[6] | (descriptor[7] << 8);
            return true;
        }
        if (block != 0x21 || std::fgetc(file) == EOF) return false;
        for (int length = std::fgetc(file); length != 0; length = std::fgetc(file)) {
            if (length == EOF || std::fseek(file, length, SEEK_CUR) != 0) return false;
        }
    }
}

// The width and height an image file declares, read without decoding its pixels; false when the header
// does not give them. Leaves the file at its start; `header` takes the image without pixels that gave them,
// where FreeImage read one.
bool DeclaredSize(FREE_IMAGE_FORMAT format, InputFile& input, unsigned& width, unsigned& height,
                  ImagePtr& header) {
    bool known = false;
    if (format == FIF_GIF) {
        // FreeImage decodes GIFs whole even when asked for the header only.
        known = GifFrameSize(input.file, width, height);
    } else if (FreeImage_FIFSupportsNoPixels(format)) {
        header.reset(FreeImage_LoadFromHandle(format, &input.io, &input, FIF_LOAD_NOPIXELS));
        if (header) {
            width = FreeImage_GetWidth(header.get());
            height = FreeImage_GetHeight(header.get());
            known = true;
        }
    }
    input.Rewind();
    return known;
}

// Formats whose loaders read exactly the bytes the image needs, so that running into the end of the
// file means that it was cut short: BMP, and the binary PNM kinds (P4, P5, P6; FreeImage names every
// PNM file PBM).
bool ReadsToTheEndOnlyWhenShort(FREE_IMAGE_FORMAT format, InputFile& input) {
    if (format == FIF_BMP) return true;
    if (!IsPnmFamily(format)) return false;
    char magic[2] = {};
    const bool binary =
        std::fread(magic, 1, 2, input.file) == 2 && magic[0] == 'P' && magic[1] >= '4' && magic[1] <= '6';
    input.Rewind();
    return binary;
}

// The format of an opened input: from its content, failing that from the name's extension.
FREE_IMAGE_FORMAT InputFormat(const std::string& extension, InputFile& input) {
    const FREE_IMAGE_FORMAT format = FreeImage_GetFileTypeFromHandle(&input.io, &input, 0);
    input.Rewind();
    return format == FIF_UNKNOWN ? FormatFromName("x." + extension) : format;
}

// The formats Orfeo lists, and PNG, which turns up under their names. Every other decoder FreeImage has is
// code that Orfeo's pages never need, and some of them decode an image whole before its size is known.
bool IsReadFormat(FREE_IMAGE_FORMAT format) {
    return format == FIF_BMP || format == FIF_JPEG || format == FIF_GIF || format == FIF_TIFF ||
           format == FIF_PNG || IsPnmFamily(format);
}

// Decodes `input`, only its header when `headerOnly` and the format can. `damaged` is set when the loader
// gave an image but said that the data was cut short or broken.
ImagePtr Decode(FREE_IMAGE_FORMAT format, InputFile& input, bool headerOnly, bool& damaged,
                bool& allocationFailed) {
    if (headerOnly && FreeImage_FIFSupportsNoPixels(format)) {
        return ImagePtr(FreeImage_LoadFromHandle(format, &input.io, &input, FIF_LOAD_NOPIXELS));
    }
    const bool endMeansShort = ReadsToTheEndOnlyWhenShort(format, input);
    // A JPEG that ends early comes back grey below the cut, with a message: listen to the messages.
    LoadComplaints complaints;
    ImagePtr image(FreeImage_LoadFromHandle(format, &input.io, &input, 0));
    damaged = image && (complaints.Damaged() || (endMeansShort && input.hitEnd));
    allocationFailed = complaints.AllocationFailed();
    return image;
}

bool PastLimit(unsigned width, unsigned height, double maxMegapixels) {
    return static_cast<double>(width) * height > maxMegapixels * 1e6;
}

// False, with the problem and the size in `report`, when the image is past the limit.
bool WithinLimit(unsigned width, unsigned height, double maxMegapixels, LoadReport& report) {
    if (PastLimit(width, height, maxMegapixels)) {
        report.problem = LoadProblem::TooLarge;
        report.width = width;
        report.height = height;
        return false;
    }
    return true;
}

// The format of an opened input, when it is one Orfeo reads and its header is one the loader can take;
// otherwise FIF_UNKNOWN, with the problem in `report`.
FREE_IMAGE_FORMAT ReadableFormat(const std::string& extension, InputFile& input, double maxMegapixels,
                                 LoadReport& report) {
    const FREE_IMAGE_FORMAT format = InputFormat(extension, input);
    if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format)) {
        report.problem = LoadProblem::CannotRead;
        return FIF_UNKNOWN;
    }
    if (!IsReadFormat(format)) {
        report.problem = LoadProblem::UnlistedFormat;
        report.format = format;
        return FIF_UNKNOWN;
    }
    // The TIFF loader allocates a strip or tile whole before it reads it, however few bytes the file holds,
    // and it decodes a thumbnail whole even when it reads only the header: one far larger than its image is
    // refused before FreeImage reads anything, on every path that reads the file.
    if (format == FIF_TIFF && !TiffUnitsWithinBounds(::fileno(input.file), maxMegapixels)) {
        report.problem = LoadProblem::CannotRead;
        return FIF_UNKNOWN;
    }
    return format;
}

ImagePtr LoadImage(const std::string& path, IMessageSink& messages, double maxMegapixels, bool headerOnly,
                   LoadProblem* problem) {
    LoadReport report;
    const int fd = OpenImageFile(path, report);
    ImagePtr image =
        fd < 0 ? nullptr : DecodeImageFile(fd, GetFileExtension(path), maxMegapixels, headerOnly, report);
    ShowLoadProblem(report, path, maxMegapixels, messages);
    if (problem) *problem = report.problem;
    return image;
}

}  // namespace

ImagePtr DecodeImageFile(int fd, const std::string& extension, double maxMegapixels, bool headerOnly,
                         LoadReport& report, const std::function<void(unsigned, unsigned)>& measured) {
    QuietImageLibraries();
    report = LoadReport{};
    InputFile input(fd);
    if (!input.file) {
        report.problem = LoadProblem::CannotRead;
        return nullptr;
    }
    const FREE_IMAGE_FORMAT format = ReadableFormat(extension, input, maxMegapixels, report);
    if (format == FIF_UNKNOWN) return nullptr;
    // A few kilobytes can declare gigabytes of pixels: look at the header before decoding. A file whose
    // header does not even give a size is not decoded at all.
    unsigned width = 0, height = 0;
    ImagePtr header;
    if (!DeclaredSize(format, input, width, height, header)) {
        report.problem = LoadProblem::CannotRead;
        return nullptr;
    }
    if (!WithinLimit(width, height, maxMegapixels, report)) return nullptr;
    if (measured) measured(width, height);
    bool damaged = false, allocationFailed = false;
    // A header that was read to measure the image is all that a header-only load needs.
    ImagePtr image = headerOnly && header ? std::move(header)
                                          : Decode(format, input, headerOnly, damaged, allocationFailed);
    if (damaged) {
        report.problem = LoadProblem::Damaged;
        return nullptr;
    }
    if (!image) {
        report.problem = LoadProblem::CannotRead;
        report.outOfMemory = allocationFailed;
        return nullptr;
    }
    // What the header said is only what the loader read first: the image it made is what counts.
    width = FreeImage_GetWidth(image.get());
    height = FreeImage_GetHeight(image.get());
    if (!WithinLimit(width, height, maxMegapixels, report)) return nullptr;
    return image;
}

bool HeaderMayMislead(FIBITMAP* header) {
    const FREE_IMAGE_TYPE type = FreeImage_GetImageType(header);
    return (type == FIT_BITMAP && FreeImage_GetBPP(header) == 32) || type == FIT_RGBA16;
}

ImagePtr LoadImageFile(const std::string& path, IMessageSink& messages, double maxMegapixels) {
    return LoadImage(path, messages, maxMegapixels, false, nullptr);
}

ImagePtr LoadImageHeader(const std::string& path, IMessageSink& messages, double maxMegapixels,
                         LoadProblem* problem) {
    return LoadImage(path, messages, maxMegapixels, true, problem);
}

}  // namespace orfeo
