#include "imaging/ImageFile.h"

#include <tiffio.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#include "imaging/Messages.h"
#include "imaging/OutputFile.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

#if defined(__unix__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace orfeo {

namespace fs = std::filesystem;

namespace {

// What the image libraries said during the load running on this thread; null when none is running.
thread_local std::vector<std::string>* t_loadComplaints = nullptr;
// Set when a loader running on this thread said that it could not allocate memory.
thread_local bool t_allocationFailed = false;

// The loaders decode what they can of a damaged file and say so only in messages such as libjpeg's
// "Premature end of JPEG file" or "Corrupt JPEG data: ..." (but for the benign ones above), libtiff's "Read
// error on strip ..." and
// FreeImage's "Image may be incomplete or contain invalid data". Only such texts count: other messages
// (metadata the library does not know, and libtiff's dozens of lines about unknown tags on every load)
// are no reason to refuse a page.
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

void CollectTiffError(const char*, const char* format, va_list arguments) {
    if (!t_loadComplaints || !format) return;
    char text[256];
    std::vsnprintf(text, sizeof text, format, arguments);
    CollectComplaint(text);
}

// FreeImage reports through a process-wide callback, and Debian's libtiff prints dozens of lines on every
// TIFF load; the user sees our messages only, so both are routed to the load that runs on the calling
// thread, once for the process.
void QuietImageLibraries() {
    static const bool done = [] {
        FreeImage_SetOutputMessage(CollectFreeImageMessage);
        TIFFSetErrorHandler(CollectTiffError);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)done;
}

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

bool IsPnmFamily(FREE_IMAGE_FORMAT format) {
    return format == FIF_PBM || format == FIF_PGM || format == FIF_PPM || format == FIF_PBMRAW ||
           format == FIF_PGMRAW || format == FIF_PPMRAW;
}

// A PBM file says 1 for black, and FreeImage writes a 1-bit image's bits to it unchanged whatever the
// palette says (and loads PBM files inverted, with black as entry 0). So when entry 0 of the palette is
// the darker one, the bits are flipped in a copy before the save, and the file shows what the image shows.
ImagePtr PbmReadyCopy(FIBITMAP* image) {
    if (FreeImage_GetBPP(image) != 1) return nullptr;
    const RGBQUAD* palette = FreeImage_GetPalette(image);
    if (!palette) return nullptr;
    auto luma = [](const RGBQUAD& c) { return 299 * c.rgbRed + 587 * c.rgbGreen + 114 * c.rgbBlue; };
    if (luma(palette[0]) >= luma(palette[1])) return nullptr;
    ImagePtr copy(FreeImage_Clone(image));
    if (!copy) return nullptr;
    const unsigned height = FreeImage_GetHeight(copy.get());
    const unsigned lineBytes = FreeImage_GetLine(copy.get());
    for (unsigned y = 0; y < height; ++y) {
        BYTE* line = FreeImage_GetScanLine(copy.get(), static_cast<int>(y));
        for (unsigned i = 0; i < lineBytes; ++i) line[i] = static_cast<BYTE>(~line[i]);
    }
    RGBQUAD* copyPalette = FreeImage_GetPalette(copy.get());
    std::swap(copyPalette[0], copyPalette[1]);
    FreeImage_SetTransparent(copy.get(), FALSE);
    return copy;
}

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
// does not give them. Leaves the file at its start.
bool DeclaredSize(FREE_IMAGE_FORMAT format, InputFile& input, unsigned& width, unsigned& height) {
    bool known = false;
    if (format == FIF_GIF) {
        // FreeImage decodes GIFs whole even when asked for the header only.
        known = GifFrameSize(input.file, width, height);
    } else if (FreeImage_FIFSupportsNoPixels(format)) {
        ImagePtr info(FreeImage_LoadFromHandle(format, &input.io, &input, FIF_LOAD_NOPIXELS));
        if (info) {
            width = FreeImage_GetWidth(info.get());
            height = FreeImage_GetHeight(info.get());
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

// Flushes a folder's entries to the disk, as far as the file system lets it.
void SyncFolder(const std::string& folder) {
#if defined(__unix__)
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
#else
    (void)folder;
#endif
}

}  // namespace

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

namespace {

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
ImagePtr Decode(FREE_IMAGE_FORMAT format, InputFile& input, bool headerOnly, bool& damaged) {
    if (headerOnly && FreeImage_FIFSupportsNoPixels(format)) {
        return ImagePtr(FreeImage_LoadFromHandle(format, &input.io, &input, FIF_LOAD_NOPIXELS));
    }
    const bool endMeansShort = ReadsToTheEndOnlyWhenShort(format, input);
    // A JPEG that ends early comes back grey below the cut, with a message: listen to the messages.
    std::vector<std::string> complaints;
    t_loadComplaints = &complaints;
    t_allocationFailed = false;
    ImagePtr image(FreeImage_LoadFromHandle(format, &input.io, &input, 0));
    t_loadComplaints = nullptr;
    damaged = image && (!complaints.empty() || (endMeansShort && input.hitEnd));
    return image;
}

bool PastLimit(unsigned width, unsigned height, double maxMegapixels) {
    return static_cast<double>(width) * height > maxMegapixels * 1e6;
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

// Writes `image` in `format` to a temporary file in the folder of `path` and renames it over `path` when
// the whole file is written; `error` takes the system's reason for a failure, when there is one.
bool WriteInPlace(FIBITMAP* image, const std::string& path, int& error) {
    // A failed save can leave a truncated file: write beside the target, then rename over it.
    const std::size_t separator = path.rfind(kPathSeparator);
    const std::string folder = separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
    std::string temporary;
    bool saved = false;
    {
        OutputFile file(folder);
        temporary = file.Path();
        saved = EncodeImageFile(image, GetFileExtension(path), file, error);
    }
    if (saved) saved = PutInPlace(temporary, path, error);
    if (!saved && !temporary.empty()) {
        std::error_code removeError;
        fs::remove(fs::path(temporary), removeError);
    }
    return saved;
}

}  // namespace

int OpenImageFile(const std::string& path, LoadReport& report) {
    report = LoadReport{};
    LoadProblem& problem = report.problem;
#if defined(__unix__)
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        problem = errno == ENOENT || errno == ENOTDIR ? LoadProblem::NotFound : LoadProblem::CannotRead;
        if (problem == LoadProblem::CannotRead) report.error = errno;
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = S_ISDIR(status.st_mode) ? LoadProblem::CannotRead : LoadProblem::NotRegular;
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        problem = errno == ENOENT ? LoadProblem::NotFound : LoadProblem::CannotRead;
        if (problem == LoadProblem::CannotRead) report.error = errno;
        return -1;
    }
    // Something else may have taken the file's place between the two looks.
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        problem = LoadProblem::NotRegular;
        return -1;
    }
    return fd;
#else
    std::error_code error;
    problem = fs::exists(fs::path(path), error) ? LoadProblem::CannotRead : LoadProblem::NotFound;
    if (problem == LoadProblem::NotFound) return -1;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) problem = LoadProblem::None;
    return fd;
#endif
}

ImagePtr DecodeImageFile(int fd, const std::string& extension, double maxMegapixels, bool headerOnly,
                         LoadReport& report) {
    QuietImageLibraries();
    report = LoadReport{};
    InputFile input(fd);
    if (!input.file) {
        report.problem = LoadProblem::CannotRead;
        return nullptr;
    }
    const FREE_IMAGE_FORMAT format = InputFormat(extension, input);
    if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format)) {
        report.problem = LoadProblem::CannotRead;
        return nullptr;
    }
    if (!IsReadFormat(format)) {
        report.problem = LoadProblem::UnlistedFormat;
        report.format = format;
        return nullptr;
    }
    // A few kilobytes can declare gigabytes of pixels: look at the header before decoding. A file whose
    // header does not even give a size is not decoded at all.
    unsigned width = 0, height = 0;
    if (!DeclaredSize(format, input, width, height)) {
        report.problem = LoadProblem::CannotRead;
        return nullptr;
    }
    if (PastLimit(width, height, maxMegapixels)) {
        report.problem = LoadProblem::TooLarge;
        report.width = width;
        report.height = height;
        return nullptr;
    }
    bool damaged = false;
    ImagePtr image = Decode(format, input, headerOnly, damaged);
    if (damaged) {
        report.problem = LoadProblem::Damaged;
        return nullptr;
    }
    if (!image) {
        report.problem = LoadProblem::CannotRead;
        report.outOfMemory = t_allocationFailed;
        return nullptr;
    }
    // What the header said is only what the loader read first: the image it made is what counts.
    width = FreeImage_GetWidth(image.get());
    height = FreeImage_GetHeight(image.get());
    if (PastLimit(width, height, maxMegapixels)) {
        report.problem = LoadProblem::TooLarge;
        report.width = width;
        report.height = height;
        return nullptr;
    }
    return image;
}

bool HeaderMayMislead(FIBITMAP* header) {
    const FREE_IMAGE_TYPE type = FreeImage_GetImageType(header);
    return (type == FIT_BITMAP && FreeImage_GetBPP(header) == 32) || type == FIT_RGBA16;
}

void ShowLoadProblem(const LoadReport& report, const std::string& path, double maxMegapixels,
                     IMessageSink& messages) {
    std::string text;
    switch (report.problem) {
        case LoadProblem::None:
            return;
        case LoadProblem::NotFound:
            text = FileNotFoundMessage(path);
            break;
        case LoadProblem::NotRegular:
            text = NotRegularFileMessage(path);
            break;
        case LoadProblem::CannotRead:
            text = CannotReadMessage(path, report.error);
            break;
        case LoadProblem::Damaged:
            text = DamagedMessage(path);
            break;
        case LoadProblem::TooLarge:
            text = TooLargeMessage(path, report.width, report.height, maxMegapixels);
            break;
        case LoadProblem::UnlistedFormat: {
            const char* name = FreeImage_GetFormatFromFIF(report.format);
            text = UnlistedFormatMessage(path, name ? name : "");
            break;
        }
    }
    messages.ShowMessage(MessageKind::Problem, text);
}

ImagePtr LoadImageFile(const std::string& path, IMessageSink& messages, double maxMegapixels) {
    return LoadImage(path, messages, maxMegapixels, false, nullptr);
}

ImagePtr LoadImageHeader(const std::string& path, IMessageSink& messages, double maxMegapixels,
                         LoadProblem* problem) {
    return LoadImage(path, messages, maxMegapixels, true, problem);
}

bool EncodeImageFile(FIBITMAP* image, const std::string& extension, OutputFile& file, int& error) {
    QuietImageLibraries();
    const FREE_IMAGE_FORMAT format = FormatFromName("x." + extension, FreeImage_GetBPP(image));
    // FreeImage writes some images that its formats cannot hold (16-bit grey or 48-bit colour as BMP, a
    // 16-bit bitmap as TIFF), and the file then does not load, or loads as another depth: such an image is
    // not written at all, as the dry run foresees.
    if (!FormatCanHold("x." + extension, image)) {
        file.Close();
        error = 0;
        return false;
    }
    ImagePtr pbmCopy = IsPnmFamily(format) ? PbmReadyCopy(image) : nullptr;
    FIBITMAP* toSave = pbmCopy ? pbmCopy.get() : image;
    const bool encoded = format != FIF_UNKNOWN && file.IsOpen() &&
                         FreeImage_SaveToHandle(format, toSave, file.Io(), file.Handle(), 0);
    const bool closed = file.Close();
    error = file.Error();
    return encoded && closed;
}

bool PutInPlace(const std::string& temporary, const std::string& path, int& error) {
    std::error_code renameError;
    fs::rename(fs::path(temporary), fs::path(path), renameError);
    if (renameError) {
        error = renameError.value();
        return false;
    }
    // The new name is on the disk only once its folder is. The page is whole either way (after a crash
    // before the folder reaches the disk, the earlier file or the new one is there, complete), and some
    // file systems refuse to flush a folder at all: a failure here does not make the written page a failed
    // one.
    const std::size_t separator = path.rfind(kPathSeparator);
    SyncFolder(separator == std::string::npos ? std::string(".") : path.substr(0, separator + 1));
    return true;
}

bool SaveImageFile(FIBITMAP* image, const std::string& path, IMessageSink& messages) {
    int error = 0;
    const bool saved = WriteInPlace(image, path, error);
    if (!saved) messages.ShowMessage(MessageKind::Problem, NotWrittenMessage(path, error));
    return saved;
}

bool FormatCanHold(const std::string& path, FIBITMAP* image) {
    const unsigned bpp = FreeImage_GetBPP(image);
    const FREE_IMAGE_TYPE type = FreeImage_GetImageType(image);
    const FREE_IMAGE_FORMAT format = FormatFromName(path, bpp);
    // FreeImage's JPEG writer says it takes 32 bits, then refuses them.
    if (format == FIF_JPEG && type == FIT_BITMAP && bpp == 32) return false;
    return format != FIF_UNKNOWN && FreeImage_FIFSupportsWriting(format) &&
           FreeImage_FIFSupportsExportType(format, type) &&
           (type != FIT_BITMAP || FreeImage_FIFSupportsExportBPP(format, static_cast<int>(bpp)));
}

bool ResetOutputFolder(const std::string& folder) {
    const std::string base = WithTrailingSeparator(folder);
    const std::string bare = WithoutTrailingSeparator(base);
#if defined(__unix__)
    // The folder is opened without following a link, and its files are deleted relative to what was
    // opened: a link in its place, or one swapped in during the reset, never leads the deletions elsewhere.
    const int dir = ::open(bare.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return false;
    bool allRemoved = true;
    ForEachFolderFile(base, [&](const std::string& name) {
        allRemoved = ::unlinkat(dir, name.c_str(), 0) == 0;
        return allRemoved;
    });
    ::close(dir);
    return allRemoved && ::rmdir(bare.c_str()) == 0;
#else
    bool allRemoved = true;
    ForEachFolderFile(base, [&](const std::string& name) {
        std::error_code removeError;
        allRemoved = fs::remove(fs::path(base + name), removeError) && !removeError;
        return allRemoved;
    });
    if (!allRemoved) return false;
    std::error_code removeError;
    return fs::remove(fs::path(base), removeError) && !removeError;
#endif
}

}  // namespace orfeo
