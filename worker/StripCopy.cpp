#include "worker/StripCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "worker/ImageLibrary.h"
#include "worker/ImageLoad.h"
#include "worker/ImagePtr.h"
#include "worker/PixelRules.h"
#include "worker/StripCheck.h"
#include "worker/TiffSource.h"
#include "worker/TiffUnits.h"

namespace orfeo {

namespace {

// What libtiff said about one file. Any error, and any warning but one about a tag it does not know (the
// private tags of scanner software), sends the page to the decoding path, which says what is wrong with it.
// `damage` counts those that say a strip's data is broken, for strips decoded only to hear that: every one
// from the fax decoders (which decode a damaged line as best they can and only warn); of a JPEG page's, the
// errors and libjpeg's warnings but the benign ones (libtiff's own notes on a JPEG strip's size leave its
// pixels whole).
struct Complaints {
    int count = 0;
    int damage = 0;
    bool jpeg = false;
};

int OnError(TIFF*, void* user, const char*, const char*, va_list) {
    auto* complaints = static_cast<Complaints*>(user);
    ++complaints->count;
    ++complaints->damage;
    return 1;
}

int OnWarning(TIFF*, void* user, const char* module, const char* format, va_list arguments) {
    if (format && std::strstr(format, "Unknown field with tag")) return 1;
    auto* complaints = static_cast<Complaints*>(user);
    ++complaints->count;
    if (!complaints->jpeg) {
        ++complaints->damage;
    } else if (module && format && std::strcmp(module, "JPEGLib") == 0) {
        char text[256];
        std::vsnprintf(text, sizeof text, format, arguments);
        if (!IsBenignJpegWarning(text)) ++complaints->damage;
    }
    return 1;
}

// The output, written with pwrite through a buffer (libtiff writes a strip in many small pieces, and
// seeks back only to its header and directory). The first failure's reason is kept.
class Sink {
public:
    explicit Sink(int fd) : m_fd(fd) { m_buffer.reserve(kBuffer); }

    tmsize_t Write(const void* data, tmsize_t size) {
        if (size < 0 || m_error) return -1;
        const auto length = static_cast<std::size_t>(size);
        if (m_position != m_start + m_buffer.size() || m_buffer.size() + length > kBuffer) Flush();
        if (m_buffer.empty()) m_start = m_position;
        if (length >= kBuffer) {
            PutAt(static_cast<const std::uint8_t*>(data), length, m_position);
        } else {
            const auto* bytes = static_cast<const std::uint8_t*>(data);
            m_buffer.insert(m_buffer.end(), bytes, bytes + length);
        }
        m_position += length;
        m_end = std::max(m_end, m_position);
        return m_error ? -1 : size;
    }

    tmsize_t Read(void* data, tmsize_t size) {
        Flush();
        if (size < 0 || m_error) return -1;
        const ssize_t got =
            ::pread(m_fd, data, static_cast<std::size_t>(size), static_cast<off_t>(m_position));
        if (got > 0) m_position += static_cast<std::uint64_t>(got);
        return got;
    }

    toff_t Seek(toff_t offset, int whence) { return TiffReposition(m_position, m_end, offset, whence); }
    toff_t Size() const { return m_end; }

    // Writes what is buffered; false (with the reason kept) when the disk did not take it.
    bool Flush() {
        if (!m_buffer.empty()) PutAt(m_buffer.data(), m_buffer.size(), m_start);
        m_buffer.clear();
        return m_error == 0;
    }

    int Error() const { return m_error; }

private:
    static constexpr std::size_t kBuffer = 1 << 20;

    void PutAt(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
        std::size_t done = 0;
        while (done < size && !m_error) {
            const ssize_t wrote = ::pwrite(m_fd, data + done, size - done, static_cast<off_t>(offset + done));
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) m_error = wrote < 0 ? errno : EIO;
            if (wrote > 0) done += static_cast<std::size_t>(wrote);
        }
    }

    int m_fd;
    std::vector<std::uint8_t> m_buffer;
    std::uint64_t m_start = 0, m_position = 0, m_end = 0;
    int m_error = 0;
};

tmsize_t SinkRead(thandle_t handle, void* data, tmsize_t size) {
    return static_cast<Sink*>(handle)->Read(data, size);
}
tmsize_t SinkWrite(thandle_t handle, void* data, tmsize_t size) {
    return static_cast<Sink*>(handle)->Write(data, size);
}
toff_t SinkSeek(thandle_t handle, toff_t offset, int whence) {
    return static_cast<Sink*>(handle)->Seek(offset, whence);
}
toff_t SinkSize(thandle_t handle) { return static_cast<Sink*>(handle)->Size(); }

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TiffPtr OpenTiff(const char* mode, thandle_t handle, Complaints& complaints, TIFFReadWriteProc read,
                 TIFFReadWriteProc write, TIFFSeekProc seek, TIFFSizeProc size) {
    QuietImageLibraries();
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, &complaints);
    TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, &complaints);
    TiffPtr tiff(TIFFClientOpenExt("page", mode, handle, read, write, seek, TiffCloseNothing, size,
                                   TiffMapNothing, TiffUnmapNothing, options));
    TIFFOpenOptionsFree(options);
    return tiff;
}

// How a page's samples are stored, when it is a layout whose stored samples are FreeImage's pixels as
// they are (rows aside: FreeImage keeps the bottom row first, and colour as BGR, which the rules, working on
// whole pixels, do not see).
struct Layout {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bitsPerSample = 0, samples = 0, photometric = 0, compression = 0;
    std::uint16_t predictor = PREDICTOR_NONE, fillOrder = FILLORDER_MSB2LSB;
    std::uint32_t faxOptions = 0;
    bool tiled = false, bigEndian = false;
    // JPEG: strips that are only ever copied, with what their decoder needs besides them.
    bool jpeg = false;
    std::vector<std::uint8_t> jpegTables;
    std::uint16_t subsampling[2] = {2, 2}, positioning = YCBCRPOSITION_CENTERED;
    std::vector<float> referenceBlackWhite;
    std::uint32_t rowsPerStrip = 0;  // strips
    std::uint32_t tileWidth = 0, tileLength = 0;
    std::uint32_t units = 0;         // strips or tiles
    std::uint64_t lineBytes = 0;     // one row of the whole page
    std::uint64_t unitRowBytes = 0;  // one row of a strip or tile
    std::uint32_t unitRows = 0;      // rows of a (full) strip or tile

    unsigned Bpp() const { return unsigned{bitsPerSample} * samples; }
    std::uint32_t Across() const { return tiled ? (width + tileWidth - 1) / tileWidth : 1; }
    // The pixels unit `k` stands for: its first column and row, and how many of each are in the page.
    std::uint32_t X0(std::uint32_t k) const { return tiled ? (k % Across()) * tileWidth : 0; }
    std::uint32_t Y0(std::uint32_t k) const { return (k / Across()) * unitRows; }
    std::uint32_t Columns(std::uint32_t k) const {
        return tiled ? std::min(tileWidth, width - X0(k)) : width;
    }
    std::uint32_t Rows(std::uint32_t k) const { return std::min(unitRows, height - Y0(k)); }
    // The decoded size of unit k: a strip holds its rows only, a tile is always whole.
    std::uint64_t UnitBytes(std::uint32_t k) const { return unitRowBytes * (tiled ? unitRows : Rows(k)); }
};

bool Writable(std::uint16_t compression) {
    switch (compression) {
        case COMPRESSION_NONE:
        case COMPRESSION_CCITTFAX3:
        case COMPRESSION_CCITTFAX4:
        case COMPRESSION_LZW:
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE:
        case COMPRESSION_PACKBITS:
            return TIFFIsCODECConfigured(compression) != 0;
        default:
            return false;
    }
}

// JPEG-compressed pages whose strips can be copied as they are (never decoded: a marked strip encoded again
// as JPEG would not keep its pixels): 8-bit grey, RGB or YCbCr.
bool KnownJpeg(std::uint16_t samples, std::uint16_t bits, std::uint16_t photometric) {
    if (bits != 8 || !TIFFIsCODECConfigured(COMPRESSION_JPEG)) return false;
    return samples == 1
               ? photometric == PHOTOMETRIC_MINISBLACK
               : samples == 3 && (photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_YCBCR);
}

bool KnownSamples(std::uint16_t samples, std::uint16_t bits, std::uint16_t photometric) {
    if (samples == 3) return photometric == PHOTOMETRIC_RGB && (bits == 8 || bits == 16);
    if (samples != 1) return false;
    if (photometric == PHOTOMETRIC_PALETTE) return bits == 1 || bits == 4 || bits == 8;
    if (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE)
        return bits == 1 || bits == 4 || bits == 8 || bits == 16;
    return false;
}

// Whether FreeImage decodes the layout into the image `header` describes (size, depth and type).
bool SameAsHeader(const Layout& layout, FIBITMAP* header) {
    if (FreeImage_GetWidth(header) != layout.width || FreeImage_GetHeight(header) != layout.height ||
        FreeImage_GetBPP(header) != layout.Bpp()) {
        return false;
    }
    const FREE_IMAGE_TYPE type = FreeImage_GetImageType(header);
    if (layout.bitsPerSample == 16) return type == (layout.samples == 3 ? FIT_RGB16 : FIT_UINT16);
    return type == FIT_BITMAP;
}

// The size, samples and coding of the first image of `tiff` into `layout`: false when they are not ones this
// copy takes, or when FreeImage decodes them into another image than `header`.
bool ReadKind(TIFF* tiff, FIBITMAP* header, Layout& layout) {
    std::uint16_t sampleFormat = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG,
                  orientation = ORIENTATION_TOPLEFT;
    std::uint16_t extraCount = 0;
    std::uint16_t* extra = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout.width) ||
        !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout.height) ||
        !TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &layout.photometric) ||
        !TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &layout.bitsPerSample) ||
        !TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout.samples) ||
        !TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &layout.compression)) {
        return false;
    }
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_FILLORDER, &layout.fillOrder);
    TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    if (layout.width == 0 || layout.height == 0 || sampleFormat != SAMPLEFORMAT_UINT || extraCount != 0 ||
        orientation != ORIENTATION_TOPLEFT || planar != PLANARCONFIG_CONTIG ||
        (layout.compression == COMPRESSION_JPEG
             ? !KnownJpeg(layout.samples, layout.bitsPerSample, layout.photometric)
             : !KnownSamples(layout.samples, layout.bitsPerSample, layout.photometric) ||
                   !Writable(layout.compression)) ||
        (layout.fillOrder != FILLORDER_MSB2LSB && layout.fillOrder != FILLORDER_LSB2MSB) ||
        !SameAsHeader(layout, header)) {
        return false;
    }
    return true;
}

// What the coding needs besides the strips into `layout`: a fax page's options, an LZW or Deflate page's
// predictor, a JPEG page's tables and colour; false when the coder here cannot write them.
bool ReadCodingTags(TIFF* tiff, Layout& layout) {
    if (layout.compression == COMPRESSION_CCITTFAX3 || layout.compression == COMPRESSION_CCITTFAX4) {
        if (layout.bitsPerSample != 1) return false;
        const bool g3 = layout.compression == COMPRESSION_CCITTFAX3;
        TIFFGetField(tiff, g3 ? TIFFTAG_GROUP3OPTIONS : TIFFTAG_GROUP4OPTIONS, &layout.faxOptions);
        // Neither coder of libtiff has the uncompressed mode.
        if (layout.faxOptions & (g3 ? GROUP3OPT_UNCOMPRESSED : GROUP4OPT_UNCOMPRESSED)) return false;
    }
    if (layout.compression == COMPRESSION_LZW || layout.compression == COMPRESSION_ADOBE_DEFLATE ||
        layout.compression == COMPRESSION_DEFLATE) {
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PREDICTOR, &layout.predictor);
        if (layout.predictor != PREDICTOR_NONE && layout.predictor != PREDICTOR_HORIZONTAL) return false;
    }
    if (layout.compression == COMPRESSION_JPEG) {
        layout.jpeg = true;
        std::uint32_t size = 0;
        void* tables = nullptr;
        if (TIFFGetField(tiff, TIFFTAG_JPEGTABLES, &size, &tables) && tables && size > 0) {
            const auto* bytes = static_cast<const std::uint8_t*>(tables);
            layout.jpegTables.assign(bytes, bytes + size);
        }
        if (layout.photometric == PHOTOMETRIC_YCBCR) {
            TIFFGetFieldDefaulted(tiff, TIFFTAG_YCBCRSUBSAMPLING, &layout.subsampling[0],
                                  &layout.subsampling[1]);
            TIFFGetFieldDefaulted(tiff, TIFFTAG_YCBCRPOSITIONING, &layout.positioning);
        }
        float* reference = nullptr;
        if (TIFFGetField(tiff, TIFFTAG_REFERENCEBLACKWHITE, &reference) && reference)
            layout.referenceBlackWhite.assign(reference, reference + 6);
    }
    return true;
}

// The strips or tiles of `tiff` into `layout`: false when they do not cover the page as whole rows (strips)
// or as tiles of a multiple of 16 pixels a side.
bool ReadUnitShape(TIFF* tiff, Layout& layout) {
    if (layout.tiled) {
        if (!TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &layout.tileWidth) ||
            !TIFFGetField(tiff, TIFFTAG_TILELENGTH, &layout.tileLength) || layout.tileWidth == 0 ||
            layout.tileLength == 0 || layout.tileWidth % 16 || layout.tileLength % 16) {
            return false;
        }
        layout.unitRows = layout.tileLength;
        layout.unitRowBytes = (std::uint64_t{layout.tileWidth} * layout.Bpp() + 7) / 8;
        const std::uint64_t down = (std::uint64_t{layout.height} + layout.tileLength - 1) / layout.tileLength;
        if (TIFFNumberOfTiles(tiff) != layout.Across() * down) return false;
        layout.units = TIFFNumberOfTiles(tiff);
    } else {
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &layout.rowsPerStrip);
        if (layout.rowsPerStrip == 0) return false;
        layout.unitRows = std::min(layout.rowsPerStrip, layout.height);
        layout.unitRowBytes = layout.lineBytes;
        if (TIFFNumberOfStrips(tiff) !=
            (std::uint64_t{layout.height} + layout.unitRows - 1) / layout.unitRows)
            return false;
        layout.units = TIFFNumberOfStrips(tiff);
    }
    return true;
}

// Whether each unit's stored bytes lie within the file (of `fileSize` bytes); uncompressed units must hold
// all their bytes.
bool StoredWithinFile(TIFF* tiff, const Layout& layout, std::uint64_t fileSize) {
    for (std::uint32_t k = 0; k < layout.units; ++k) {
        int failed = 0;
        const std::uint64_t offset = TIFFGetStrileOffsetWithErr(tiff, k, &failed);
        const std::uint64_t bytes = TIFFGetStrileByteCountWithErr(tiff, k, &failed);
        if (failed || bytes == 0 || offset < 8 || offset > fileSize || bytes > fileSize - offset ||
            (layout.compression == COMPRESSION_NONE && bytes < layout.UnitBytes(k))) {
            return false;
        }
    }
    return true;
}

// The layout of the first image of `tiff`, when it is one this copy takes, its strips or tiles are within the
// bounds the loader's path keeps (UnitsWithinBounds, up to `maxMegapixels`), and each strip's stored bytes
// lie within the file (of `fileSize` bytes); uncompressed strips must hold all their bytes.
std::optional<Layout> Examine(TIFF* tiff, FIBITMAP* header, std::uint64_t fileSize, double maxMegapixels,
                              const Complaints& complaints) {
    Layout layout;
    if (complaints.count || TIFFIsBigTIFF(tiff) || !ReadKind(tiff, header, layout) ||
        !ReadCodingTags(tiff, layout)) {
        return std::nullopt;
    }
    layout.bigEndian = TIFFIsBigEndian(tiff) != 0;
    layout.tiled = TIFFIsTiled(tiff) != 0;
    // A strip or tile is decoded whole: one far larger than the page would cost what the page does not.
    if (!UnitsWithinBounds(tiff, maxMegapixels)) return std::nullopt;
    layout.lineBytes = (std::uint64_t{layout.width} * layout.Bpp() + 7) / 8;
    if (!ReadUnitShape(tiff, layout)) return std::nullopt;
    // (A JPEG page's strips are never decoded here, and libtiff sizes subsampled YCbCr rows otherwise.)
    if (!layout.jpeg && static_cast<std::uint64_t>(TIFFScanlineSize64(tiff)) != layout.lineBytes)
        return std::nullopt;
    if (!StoredWithinFile(tiff, layout, fileSize)) return std::nullopt;
    return complaints.count ? std::nullopt : std::optional<Layout>(layout);
}

// What is known of a unit's stored bytes: that they decode whole, that they do not, that only libtiff's
// own decoder can tell, or nothing (old-style LZW, which the decoding path reads).
enum class Proof { Whole, Damaged, AskLibtiff, Unproven };

// A TIFF page open for reading, with its layout.
struct Page {
    TiffSource source;
    Complaints complaints;
    TiffPtr tiff;
    Layout layout;

    bool Open(int fd, FIBITMAP* header, double maxMegapixels) {
        struct stat status {};
        if (fd < 0 || !header || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
        source.fd = fd;
        source.size = static_cast<std::uint64_t>(status.st_size);
        tiff = OpenTiff("rm", &source, complaints, TiffSourceRead, TiffWriteNothing, TiffSourceSeek,
                        TiffSourceSize);
        if (!tiff) return false;
        const auto found = Examine(tiff.get(), header, source.size, maxMegapixels, complaints);
        if (found) layout = *found;
        complaints.jpeg = layout.jpeg;
        return found.has_value();
    }

    bool Fax() const {
        return layout.compression == COMPRESSION_CCITTFAX3 || layout.compression == COMPRESSION_CCITTFAX4;
    }

    // Units whose decoder tells damage only while it decodes, and that no walk of their stored bytes
    // proves (StripCheck.h): G3 units, decoded to prove them before any is copied.
    bool ProvenByDecoding() const { return layout.compression == COMPRESSION_CCITTFAX3; }

    // Whether unit k, whose stored bytes are the `count` at `bytes`, decodes as libtiff decodes it (see
    // StripCheck.h); the units ProvenByDecoding are not asked here.
    Proof Prove(std::uint32_t k, const std::uint8_t* bytes, std::uint64_t count) const {
        const std::uint64_t size = layout.UnitBytes(k);
        switch (layout.compression) {
            case COMPRESSION_LZW:
                if (IsOldStyleLzw(bytes, count)) return Proof::Unproven;
                return LzwStripDecodes(bytes, count, size) ? Proof::Whole : Proof::Damaged;
            case COMPRESSION_ADOBE_DEFLATE:
            case COMPRESSION_DEFLATE:
                // zlib and libdeflate, which libtiff decodes whole strips with, part on a few damaged
                // streams: on those libtiff has the last word.
                return DeflateStripDecodes(bytes, count, size) ? Proof::Whole : Proof::AskLibtiff;
            case COMPRESSION_PACKBITS:
                return PackBitsStripDecodes(bytes, count, size) ? Proof::Whole : Proof::Damaged;
            case COMPRESSION_CCITTFAX4:
                // What the walk does not prove, libtiff's decoder tells (and names, if it is damage).
                return G4StripDecodes(bytes, count, layout.tiled ? layout.tileWidth : layout.width,
                                      layout.tiled ? layout.unitRows : layout.Rows(k),
                                      layout.fillOrder == FILLORDER_LSB2MSB)
                           ? Proof::Whole
                           : Proof::AskLibtiff;
            case COMPRESSION_JPEG:
                return JpegStripDecodes(layout.jpegTables.data(), layout.jpegTables.size(), bytes, count,
                                        JpegShape(k))
                           ? Proof::Whole
                           : Proof::AskLibtiff;
            default:
                return Proof::Whole;  // uncompressed units hold all their bytes (Examine)
        }
    }

    // What libtiff's JPEG codec expects unit k's stream to hold.
    JpegUnitShape JpegShape(std::uint32_t k) const {
        const bool ycbcr = layout.photometric == PHOTOMETRIC_YCBCR;
        return {.width = layout.tiled ? layout.tileWidth : layout.width,
                .rows = layout.tiled ? layout.unitRows : layout.Rows(k),
                .samples = layout.samples,
                .hSampling = ycbcr ? layout.subsampling[0] : std::uint16_t{1},
                .vSampling = ycbcr ? layout.subsampling[1] : std::uint16_t{1}};
    }

    // Unit k decoded as libtiff decodes it, only to hear what its decoder says about the data: Whole when
    // it decoded whole and said nothing that means damage, Damaged when it did, Unproven when it failed
    // without a word.
    Proof DecodeToProve(std::uint32_t k) {
        const int heard = complaints.damage;
        const tmsize_t size =
            layout.tiled ? TIFFTileSize(tiff.get()) : TIFFVStripSize(tiff.get(), layout.Rows(k));
        if (size <= 0) return Proof::Unproven;
        m_unit.resize(static_cast<std::size_t>(size));
        const tmsize_t got = layout.tiled ? TIFFReadEncodedTile(tiff.get(), k, m_unit.data(), size)
                                          : TIFFReadEncodedStrip(tiff.get(), k, m_unit.data(), size);
        if (complaints.damage != heard) return Proof::Damaged;
        return got == size ? Proof::Whole : Proof::Unproven;
    }

    // Unit k decoded into `into` (resized to its size); false when libtiff could not, or complained.
    bool Decode(std::uint32_t k, std::vector<std::uint8_t>& into) {
        const std::uint64_t size = layout.UnitBytes(k);
        into.resize(size);
        const tmsize_t got =
            layout.tiled ? TIFFReadEncodedTile(tiff.get(), k, into.data(), static_cast<tmsize_t>(size))
                         : TIFFReadEncodedStrip(tiff.get(), k, into.data(), static_cast<tmsize_t>(size));
        return got == static_cast<tmsize_t>(size) && complaints.count == 0;
    }

    // Rows [y0, y1) of the page, whole, into `into` (lineBytes a row), decoded from whatever strips or
    // tiles hold them; the last band decoded is kept for the next call.
    bool ReadRows(std::uint32_t y0, std::uint32_t y1, std::uint8_t* into) {
        for (std::uint32_t row = y0; row < y1;) {
            const std::uint32_t band = row / layout.unitRows;
            if (band != m_band && !LoadBand(band)) return false;
            const std::uint32_t first = band * layout.unitRows;
            const std::uint32_t rows = std::min(y1, first + layout.unitRows) - row;
            std::memcpy(into + (row - y0) * layout.lineBytes,
                        m_rows.data() + (row - first) * layout.lineBytes, rows * layout.lineBytes);
            row += rows;
        }
        return true;
    }

private:
    bool LoadBand(std::uint32_t band) {
        m_band = UINT32_MAX;
        const std::uint32_t first = band * layout.unitRows;
        const std::uint32_t rows = std::min(layout.unitRows, layout.height - first);
        m_rows.resize(rows * layout.lineBytes);
        const std::uint32_t across = layout.Across();
        for (std::uint32_t x = 0; x < across; ++x) {
            const std::uint32_t k = band * across + x;
            if (!Decode(k, m_unit)) return false;
            const std::uint64_t left = std::uint64_t{layout.X0(k)} * layout.Bpp() / 8;
            const std::uint64_t length = std::min(layout.unitRowBytes, layout.lineBytes - left);
            for (std::uint32_t r = 0; r < rows; ++r) {
                std::memcpy(m_rows.data() + r * layout.lineBytes + left,
                            m_unit.data() + r * layout.unitRowBytes, length);
            }
        }
        m_band = band;
        return true;
    }

    std::uint32_t m_band = UINT32_MAX;
    std::vector<std::uint8_t> m_rows, m_unit;
};

// What FreeImage writes for a result shaped like `model`: its photometric, palette and resolution, read
// back from a 1 x 1 image that FreeImage saves, so that the output says exactly what today's saves say.
struct ModelTags {
    std::uint16_t photometric = 0, bitsPerSample = 0, samples = 0, sampleFormat = SAMPLEFORMAT_UINT;
    std::vector<std::uint16_t> red, green, blue;
    bool resolution = false;
    float xResolution = 0, yResolution = 0;
    std::uint16_t resolutionUnit = RESUNIT_INCH;
};

std::optional<ModelTags> ReadModelTags(FIBITMAP* page) {
    const ImagePtr model = ResultModel(page);
    if (!model) return std::nullopt;
    std::unique_ptr<FIMEMORY, decltype(&FreeImage_CloseMemory)> memory(FreeImage_OpenMemory(),
                                                                       FreeImage_CloseMemory);
    BYTE* bytes = nullptr;
    DWORD size = 0;
    if (!memory || !FreeImage_SaveToMemory(FIF_TIFF, model.get(), memory.get(), 0) ||
        !FreeImage_AcquireMemory(memory.get(), &bytes, &size)) {
        return std::nullopt;
    }
    TiffSource source{.fd = -1, .bytes = bytes, .size = size};
    Complaints complaints;
    const TiffPtr tiff =
        OpenTiff("rm", &source, complaints, TiffSourceRead, TiffWriteNothing, TiffSourceSeek, TiffSourceSize);
    if (!tiff) return std::nullopt;
    ModelTags tags;
    if (!TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &tags.photometric)) return std::nullopt;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &tags.bitsPerSample);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &tags.samples);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLEFORMAT, &tags.sampleFormat);
    if (tags.photometric == PHOTOMETRIC_PALETTE) {
        std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
        if (tags.bitsPerSample > 8 || !TIFFGetField(tiff.get(), TIFFTAG_COLORMAP, &red, &green, &blue))
            return std::nullopt;
        const std::size_t entries = std::size_t{1} << tags.bitsPerSample;
        tags.red.assign(red, red + entries);
        tags.green.assign(green, green + entries);
        tags.blue.assign(blue, blue + entries);
    }
    tags.resolution = TIFFGetField(tiff.get(), TIFFTAG_XRESOLUTION, &tags.xResolution) &&
                      TIFFGetField(tiff.get(), TIFFTAG_YRESOLUTION, &tags.yResolution);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_RESOLUTIONUNIT, &tags.resolutionUnit);
    if (complaints.count) return std::nullopt;
    return tags;
}

// Whether the mask marks any pixel of unit k (the mask's scan lines count from the bottom, as FreeImage's
// do; a larger mask is used from its bottom-left corner).
bool Marks(FIBITMAP* mask, const Layout& layout, std::uint32_t k) {
    const std::uint32_t x0 = layout.X0(k), x1 = x0 + layout.Columns(k);
    const std::uint32_t y0 = layout.Y0(k), y1 = y0 + layout.Rows(k);
    const std::uint32_t whole = x1 / 8;  // x0 is a multiple of 16
    const std::uint8_t tail = static_cast<std::uint8_t>(0xFF00u >> (x1 % 8));
    for (std::uint32_t row = y0; row < y1; ++row) {
        const BYTE* line = FreeImage_GetScanLine(mask, static_cast<int>(layout.height - 1 - row));
        // Eight bytes at a time: a page's mask is read whole for every page whose mask marks nothing.
        std::uint32_t i = x0 / 8;
        for (; i + 8 <= whole; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, line + i, sizeof word);
            if (word) return true;
        }
        for (; i < whole; ++i)
            if (line[i]) return true;
        if (tail && (line[whole] & tail)) return true;
    }
    return false;
}

// The same coding under the code that libtiff writes without complaint: Deflate's old code is its
// new one's twin.
std::uint16_t OutputCompression(std::uint16_t compression) {
    return compression == COMPRESSION_DEFLATE ? std::uint16_t{COMPRESSION_ADOBE_DEFLATE} : compression;
}

// A JPEG page's tables and colour, which its copied strips are decoded with.
bool SetJpegTags(TIFF* out, const Layout& layout) {
    bool set = true;
    if (!layout.jpegTables.empty()) {
        set =
            set && TIFFSetField(out, TIFFTAG_JPEGTABLES, static_cast<std::uint32_t>(layout.jpegTables.size()),
                                layout.jpegTables.data());
    }
    if (layout.photometric == PHOTOMETRIC_YCBCR) {
        set = set &&
              TIFFSetField(out, TIFFTAG_YCBCRSUBSAMPLING, layout.subsampling[0], layout.subsampling[1]) &&
              TIFFSetField(out, TIFFTAG_YCBCRPOSITIONING, layout.positioning);
    }
    if (!layout.referenceBlackWhite.empty())
        set = set && TIFFSetField(out, TIFFTAG_REFERENCEBLACKWHITE, layout.referenceBlackWhite.data());
    return set;
}

// The output's tags: the stored strips' layout and coding, and the result's photometric, palette and
// resolution; nothing else of the page.
bool SetTags(TIFF* out, const Layout& layout, const ModelTags& tags) {
    bool set = TIFFSetField(out, TIFFTAG_IMAGEWIDTH, layout.width) &&
               TIFFSetField(out, TIFFTAG_IMAGELENGTH, layout.height) &&
               TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, layout.bitsPerSample) &&
               TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, layout.samples) &&
               TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
               TIFFSetField(out, TIFFTAG_COMPRESSION, OutputCompression(layout.compression)) &&
               TIFFSetField(out, TIFFTAG_PHOTOMETRIC, layout.jpeg ? layout.photometric : tags.photometric);
    if (layout.fillOrder != FILLORDER_MSB2LSB)
        set = set && TIFFSetField(out, TIFFTAG_FILLORDER, layout.fillOrder);
    if (layout.predictor != PREDICTOR_NONE)
        set = set && TIFFSetField(out, TIFFTAG_PREDICTOR, layout.predictor);
    if (layout.compression == COMPRESSION_CCITTFAX3)
        set = set && TIFFSetField(out, TIFFTAG_GROUP3OPTIONS, layout.faxOptions);
    if (layout.compression == COMPRESSION_CCITTFAX4)
        set = set && TIFFSetField(out, TIFFTAG_GROUP4OPTIONS, layout.faxOptions);
    if (layout.jpeg) set = set && SetJpegTags(out, layout);
    if (layout.tiled) {
        set = set && TIFFSetField(out, TIFFTAG_TILEWIDTH, layout.tileWidth) &&
              TIFFSetField(out, TIFFTAG_TILELENGTH, layout.tileLength);
    } else {
        set = set && TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
    }
    if (tags.photometric == PHOTOMETRIC_PALETTE) {
        set =
            set && TIFFSetField(out, TIFFTAG_COLORMAP, tags.red.data(), tags.green.data(), tags.blue.data());
    }
    if (tags.resolution) {
        set = set && TIFFSetField(out, TIFFTAG_XRESOLUTION, tags.xResolution) &&
              TIFFSetField(out, TIFFTAG_YRESOLUTION, tags.yResolution) &&
              TIFFSetField(out, TIFFTAG_RESOLUTIONUNIT, tags.resolutionUnit);
    }
    const std::uint64_t units = layout.tiled ? TIFFNumberOfTiles(out) : TIFFNumberOfStrips(out);
    return set && units == layout.units;
}

// The stored bytes of the strips that are copied, read a window at a time (strips usually follow each
// other in the file).
class StoredBytes {
public:
    explicit StoredBytes(Page& page) : m_page(page) {}

    const std::uint8_t* Get(std::uint32_t k, std::uint64_t& size) {
        const std::uint64_t offset = TIFFGetStrileOffset(m_page.tiff.get(), k);
        size = TIFFGetStrileByteCount(m_page.tiff.get(), k);
        if (offset < m_start || offset + size > m_start + m_window.size()) {
            const std::uint64_t length =
                std::max<std::uint64_t>(size, std::min<std::uint64_t>(kWindow, m_page.source.size - offset));
            m_window.resize(length);
            m_page.source.position = offset;
            if (TiffSourceRead(&m_page.source, m_window.data(), static_cast<tmsize_t>(length)) !=
                static_cast<tmsize_t>(length)) {
                m_window.clear();
                return nullptr;
            }
            m_start = offset;
        }
        return m_window.data() + (offset - m_start);
    }

private:
    static constexpr std::uint64_t kWindow = 4 << 20;
    Page& m_page;
    std::vector<std::uint8_t> m_window;
    std::uint64_t m_start = 0;
};

// What the copy settles before it writes: the units that hold marked pixels, decoded, and in a merge the
// new page's rows under them.
struct Plan {
    std::vector<bool> marked;
    std::vector<std::vector<std::uint8_t>> decoded;
    std::map<std::uint32_t, std::vector<std::uint8_t>> newRows;  // by first row
};

StripCopyOutcome DamagedOutcome(const Page& page, const Page& stored, const Page& damaged) {
    return &damaged == &stored && &page != &stored ? StripCopyOutcome::BackDamaged
                                                   : StripCopyOutcome::PageDamaged;
}

// Fills `plan`, and decodes the units that are to be copied and are ProvenByDecoding. Empty when the copy
// goes on; otherwise how it ends. A fax unit that a decode finds damaged names its file wherever it is: the
// decoding path would write the page without a word.
std::optional<StripCopyOutcome> ReadUnits(FIBITMAP* mask, Page& page, Page& stored, Plan& plan,
                                          const std::function<void(StripCopyStage)>& stage) {
    const bool merge = &page != &stored;
    const Layout& layout = stored.layout;
    plan.marked.assign(layout.units, false);
    plan.decoded.resize(layout.units);
    bool anyMarked = false;
    for (std::uint32_t k = 0; k < layout.units; ++k) anyMarked |= plan.marked[k] = Marks(mask, layout, k);
    // JPEG strips are copied, never decoded for the rules: a page or back subscan in JPEG goes only when
    // nothing is marked (a new page in JPEG too, whose strips would be decoded only where the mask marks).
    if (anyMarked && (layout.jpeg || page.layout.jpeg)) return StripCopyOutcome::NotTaken;
    auto failed = [&](Page& file) {
        return file.Fax() && file.complaints.damage ? DamagedOutcome(page, stored, file)
                                                    : StripCopyOutcome::NotTaken;
    };
    stage(merge ? StripCopyStage::ReadingBack : StripCopyStage::ReadingPage);
    for (std::uint32_t k = 0; k < layout.units; ++k) {
        if (plan.marked[k]) {
            if (!stored.Decode(k, plan.decoded[k])) return failed(stored);
        } else if (stored.ProvenByDecoding()) {
            const Proof proof = stored.DecodeToProve(k);
            if (proof != Proof::Whole)
                return proof == Proof::Damaged ? DamagedOutcome(page, stored, stored)
                                               : StripCopyOutcome::NotTaken;
        }
    }
    if (!merge) return std::nullopt;
    stage(StripCopyStage::ReadingPage);
    for (std::uint32_t k = 0; k < layout.units; ++k) {
        if (!plan.marked[k] || plan.newRows.count(layout.Y0(k))) continue;
        auto& rows = plan.newRows[layout.Y0(k)];
        rows.resize(std::uint64_t{layout.Rows(k)} * layout.lineBytes);
        if (!page.ReadRows(layout.Y0(k), layout.Y0(k) + layout.Rows(k), rows.data())) return failed(page);
    }
    return std::nullopt;
}

// Marked unit k ruled and encoded into `out`; `ruled` is scratch.
bool WriteRuled(TIFF* out, FIBITMAP* mask, const Layout& layout, Plan& plan, bool merge, std::uint32_t k,
                std::vector<std::uint8_t>& ruled) {
    const std::vector<std::uint8_t>& in = plan.decoded[k];
    // A strip's rows are written whole below; a tile's columns and rows past the page's edge stay as they
    // were decoded.
    if (layout.tiled) {
        ruled = in;
    } else {
        ruled.resize(in.size());
    }
    const std::uint32_t x0 = layout.X0(k), y0 = layout.Y0(k);
    const std::uint64_t left = std::uint64_t{x0} * layout.Bpp() / 8;
    for (std::uint32_t r = 0; r < layout.Rows(k); ++r) {
        const BYTE* maskLine = FreeImage_GetScanLine(mask, static_cast<int>(layout.height - 1 - (y0 + r)));
        const std::uint8_t* from =
            merge ? plan.newRows[y0].data() + std::uint64_t{r} * layout.lineBytes + left : nullptr;
        RuleRow(layout.Bpp(), ruled.data() + r * layout.unitRowBytes, from,
                in.data() + r * layout.unitRowBytes, maskLine + x0 / 8, layout.Columns(k));
    }
    const auto length = static_cast<tmsize_t>(ruled.size());
    return (layout.tiled ? TIFFWriteEncodedTile(out, k, ruled.data(), length)
                         : TIFFWriteEncodedStrip(out, k, ruled.data(), length)) == length;
}

// Every unit into `out`: the marked ones ruled, the others copied as stored once their bytes are proven to
// decode. Empty when every unit was given to libtiff (`wrote` says whether it took them); otherwise how the
// copy ends.
std::optional<StripCopyOutcome> WriteUnits(TIFF* out, FIBITMAP* mask, Page& page, Page& stored, Plan& plan,
                                           const std::function<void(StripCopyStage)>& stage, bool& wrote) {
    const bool merge = &page != &stored;
    const Layout& layout = stored.layout;
    StoredBytes raw(stored);
    std::vector<std::uint8_t> ruled;
    for (std::uint32_t k = 0; k < layout.units && wrote; ++k) {
        if (plan.marked[k]) {
            wrote = WriteRuled(out, mask, layout, plan, merge, k, ruled);
            continue;
        }
        std::uint64_t size = 0;
        const std::uint8_t* bytes = raw.Get(k, size);
        if (!bytes) return StripCopyOutcome::NotTaken;
        Proof proof = stored.Prove(k, bytes, size);
        if (proof == Proof::AskLibtiff) {
            stage(merge ? StripCopyStage::ReadingBack : StripCopyStage::ReadingPage);
            proof = stored.DecodeToProve(k);
            stage(StripCopyStage::Writing);
        }
        if (proof == Proof::Damaged) return DamagedOutcome(page, stored, stored);
        if (proof != Proof::Whole) return StripCopyOutcome::NotTaken;
        const tmsize_t length = static_cast<tmsize_t>(size);
        void* data = const_cast<std::uint8_t*>(bytes);
        wrote = (layout.tiled ? TIFFWriteRawTile(out, k, data, length)
                              : TIFFWriteRawStrip(out, k, data, length)) == length;
    }
    return std::nullopt;
}

// Whether the result's tags go with the stored strips: the same samples, ones this copy writes, and for JPEG
// strips the colour FreeImage writes for them.
bool Fits(const ModelTags& tags, const Layout& layout) {
    return tags.bitsPerSample == layout.bitsPerSample && tags.samples == layout.samples &&
           tags.sampleFormat == SAMPLEFORMAT_UINT &&
           KnownSamples(tags.samples, tags.bitsPerSample, tags.photometric) &&
           (!layout.jpeg ||
            tags.photometric == (layout.samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
}

// The output written through to the disk and closed: Written, or WriteFailed with the reason in `error`.
StripCopyOutcome SyncAndClose(int output, int& error) {
    if (::fsync(output) != 0) {
        error = errno;
        ::close(output);
        return StripCopyOutcome::WriteFailed;
    }
    if (::close(output) != 0) {
        error = errno;
        return StripCopyOutcome::WriteFailed;
    }
    return StripCopyOutcome::Written;
}

bool EqualsIgnoringCase(const std::string& text, const char* lower) {
    if (text.size() != std::strlen(lower)) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

}  // namespace

StripCopyOutcome CopyStripsBetween(const std::string& page, const std::string& back, FIBITMAP* mask,
                                   const std::string& output, double maxMegapixels, int& error) {
    class Quiet final : public IMessageSink {
    public:
        void ShowMessage(MessageKind, const std::string&) override {}
    } quiet;
    error = 0;
    const ImagePtr pageHeader = LoadImageHeader(page, quiet, maxMegapixels);
    const ImagePtr backHeader = back.empty() ? nullptr : LoadImageHeader(back, quiet, maxMegapixels);
    const int pageFd = ::open(page.c_str(), O_RDONLY | O_CLOEXEC);
    const int backFd = back.empty() ? -1 : ::open(back.c_str(), O_RDONLY | O_CLOEXEC);
    const int outputFd = ::open(output.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    StripCopyOutcome outcome = StripCopyOutcome::NotTaken;
    if (pageHeader && pageFd >= 0 && outputFd >= 0 && (back.empty() || (backHeader && backFd >= 0))) {
        outcome = CopyStrips(
            {.page = pageFd,
             .pageHeader = pageHeader.get(),
             .back = backFd,
             .backHeader = backHeader.get(),
             .mask = mask,
             .output = outputFd,
             .maxMegapixels = maxMegapixels},
            [](StripCopyStage) {}, error);
    }
    if (pageFd >= 0) ::close(pageFd);
    if (backFd >= 0) ::close(backFd);
    if (outcome != StripCopyOutcome::Written && outcome != StripCopyOutcome::WriteFailed && outputFd >= 0) {
        // What a copy that was not taken wrote is not an output.
        if (::ftruncate(outputFd, 0) != 0) error = errno;
        ::close(outputFd);
    }
    return outcome;
}

bool IsTiffExtension(const std::string& extension) {
    return EqualsIgnoringCase(extension, "tif") || EqualsIgnoringCase(extension, "tiff");
}

StripCopyOutcome CopyStrips(const StripCopyFiles& files, const std::function<void(StripCopyStage)>& stage,
                            int& error) {
    error = 0;
    const bool merge = files.back >= 0;
    stage(StripCopyStage::ReadingPage);
    Page page;
    if (!files.mask || !page.Open(files.page, files.pageHeader, files.maxMegapixels))
        return StripCopyOutcome::NotTaken;
    Page back;
    if (merge) {
        stage(StripCopyStage::ReadingBack);
        if (!back.Open(files.back, files.backHeader, files.maxMegapixels) ||
            back.layout.Bpp() != page.layout.Bpp() || back.layout.width != page.layout.width ||
            back.layout.height != page.layout.height) {
            return StripCopyOutcome::NotTaken;
        }
    }
    // The strips copied are the back subscan's in a merge, the page's otherwise.
    Page& stored = merge ? back : page;
    const Layout& layout = stored.layout;
    const std::optional<ModelTags> tags = ReadModelTags(files.pageHeader);
    if (!tags || !Fits(*tags, layout)) return StripCopyOutcome::NotTaken;
    Plan plan;
    if (const auto refused = ReadUnits(files.mask, page, stored, plan, stage)) return *refused;

    stage(StripCopyStage::Writing);
    Sink sink(files.output);
    Complaints complaints;
    TiffPtr out =
        OpenTiff(layout.bigEndian ? "wb" : "wl", &sink, complaints, SinkRead, SinkWrite, SinkSeek, SinkSize);
    if (!out || !SetTags(out.get(), layout, *tags)) return StripCopyOutcome::NotTaken;
    bool wrote = true;
    if (const auto refused = WriteUnits(out.get(), files.mask, page, stored, plan, stage, wrote))
        return *refused;
    wrote = wrote && TIFFFlush(out.get());
    out.reset();
    wrote = wrote && sink.Flush();
    if (sink.Error()) {
        error = sink.Error();
        ::close(files.output);
        return StripCopyOutcome::WriteFailed;
    }
    if (!wrote || complaints.count) return StripCopyOutcome::NotTaken;
    return SyncAndClose(files.output, error);
}

}  // namespace orfeo
